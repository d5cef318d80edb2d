#!/usr/bin/python3
"""ssh1d's port forwarding, driven message by message by the package's own client."""
import hashlib
import os
import socket
import threading
import unittest

from harness import PASSWORD, USER, ServerProcess, SharedServerTest
from targets import Target, drain, free_port, send_all_then_eof

from ssh1dlib import wire
from ssh1dlib.channels import MAX_CHANNELS, MAX_FORWARDS, MAX_HOST_NAME, MAX_QUEUED
from ssh1dlib.client import Client
from ssh1dlib.transport import ConnectionClosed

u32 = wire.uint32
PIECE = 16 * 1024
OUR_CHANNEL = 7  # the client's own number, deliberately not ssh1d's first


def sha(data):
    return hashlib.sha256(data).hexdigest()


def start(server, flags=0, forwards=()):
    """A logged-in session whose command waits for EOF; (client, session number, forward replies)."""
    number = server.last_session() + 1
    client = Client("127.0.0.1", server.port, timeout=30)
    client.connect(USER, PASSWORD, flags=flags)
    server.wait_for_log(r"\[%d\] connection from" % number)
    replies = []
    for port, host, host_port in forwards:
        client.send(wire.CMSG_PORT_FORWARD_REQUEST, u32(port) + wire.string(host) + u32(host_port))
        replies.append(client.read()[0])
    client.send(wire.CMSG_EXEC_CMD, wire.string("cat >/dev/null"))
    return client, number, replies


def finish(client):
    """End the session cleanly: EOF to the command, its status confirmed."""
    client.send(wire.CMSG_EOF)
    while True:
        msg_type, _ = client.read()
        if msg_type == wire.SMSG_EXITSTATUS:
            client.send(wire.CMSG_EXIT_CONFIRMATION)
            client.close()
            return


def event(client):
    """(type, channel, payload reader) of the next channel message."""
    msg_type, reader = client.read()
    if msg_type == wire.MSG_PORT_OPEN:
        return msg_type, None, reader
    return msg_type, reader.uint32(), reader


def open_channel(client, port, host="127.0.0.1", originator=None):
    payload = u32(OUR_CHANNEL) + wire.string(host) + u32(port)
    if originator is not None:
        payload += wire.string(originator)
    client.send(wire.MSG_PORT_OPEN, payload)
    msg_type, channel, reader = event(client)
    if msg_type == wire.MSG_CHANNEL_OPEN_CONFIRMATION:
        return channel, reader.uint32()
    return msg_type, channel


def send_data(client, theirs, data, close=True):
    for start in range(0, len(data), PIECE):
        client.send(wire.MSG_CHANNEL_DATA, u32(theirs) + wire.string(data[start:start + PIECE]))
    if close:
        client.send(wire.MSG_CHANNEL_CLOSE, u32(theirs))


def exchange(client, ours, theirs, data, close_first=True, confirm_first=False):
    """Data out, then the two-sided close as a real peer does it; the bytes that came back."""
    if confirm_first:
        client.send(wire.MSG_CHANNEL_CLOSE_CONFIRMATION, u32(theirs))
    sender = threading.Thread(target=send_data, args=(client, theirs, data, close_first))
    sender.start()
    received, got_close, got_confirm = bytearray(), False, False
    while not (got_close and got_confirm):
        msg_type, channel, reader = event(client)
        assert channel == ours, (msg_type, channel)
        if msg_type == wire.MSG_CHANNEL_DATA:
            assert not got_close, "data after the close"
            received += reader.string()
        elif msg_type == wire.MSG_CHANNEL_CLOSE:
            got_close = True
            if not confirm_first:
                client.send(wire.MSG_CHANNEL_CLOSE_CONFIRMATION, u32(theirs))
            if not close_first:
                client.send(wire.MSG_CHANNEL_CLOSE, u32(theirs))
        elif msg_type == wire.MSG_CHANNEL_CLOSE_CONFIRMATION:
            got_confirm = True
        else:
            raise AssertionError("unexpected message %d" % msg_type)
    sender.join()
    return bytes(received)


def assert_disconnects(client):
    try:
        while client.read()[0] != wire.MSG_DISCONNECT:
            pass
    except ConnectionClosed:
        pass


class ChannelTest(SharedServerTest):
    def test_data_and_both_close_orders(self):
        # Over the queue bound, so the session reader really waits on the target.
        big = os.urandom(3 * MAX_QUEUED)
        upload = os.urandom(MAX_QUEUED)
        endless = 64 * MAX_QUEUED
        cases = [  # name, target kind and size, data sent, client closes first, client confirms first, check
            ("echo, client closes first", "echo", None, big, True, False,
             lambda back, target: self.assertEqual(back, big)),
            ("source, target closes first", "source", 2 * MAX_QUEUED, b"", False, False,
             lambda back, target: self.assertEqual(sha(back), target.sent_digests[0])),
            ("sink, client confirms before sending", "sink", None, upload, True, True,
             lambda back, target: self.assertEqual((back, target.wait_received()), (b"", [(len(upload), sha(upload))]))),
            # A confirmation means "send no more": ssh1d must stop reading a target that goes on.
            ("source, client confirms at once", "source", endless, b"", True, True,
             lambda back, target: self.assertLess(len(back), endless // 2)),
        ]
        client, number, _ = start(self.server)
        for index, (name, kind, size, data, close_first, confirm_first, check) in enumerate(cases):
            with self.subTest(name), Target(kind, size) as target:
                channel, theirs = open_channel(client, target.port)
                self.assertEqual(channel, OUR_CHANNEL)
                back = exchange(client, OUR_CHANNEL, theirs, data, close_first, confirm_first)
                check(back, target)
                line = self.server.wait_for_log(r"\[%d\] channel %d closed, (\d+) bytes in, (\d+) bytes out"
                                                % (number, theirs), count=index + 1)
                self.assertEqual((int(line.group(1)), int(line.group(2))), (len(data), len(back)))
        finish(client)
        self.server.wait_for_log(r"\[%d\] channels left open: 0" % number)
        self.server.wait_for_log(r"\[%d\] cipher 3des, client protocol flags 0x0" % number)

    def test_stalled_target_holds_the_session_without_losing_data(self):
        # Far more than the queue and the kernel's buffers can hold together.
        data = os.urandom(32 * 1024 * 1024)
        with socket.create_server(("127.0.0.1", 0)) as listener:
            client, number, _ = start(self.server)
            _, theirs = open_channel(client, listener.getsockname()[1])
            sender = threading.Thread(target=send_data, args=(client, theirs, data))
            sender.start()
            sender.join(3)
            self.assertTrue(sender.is_alive(), "ssh1d read everything while its target read nothing")
            target, _ = listener.accept()
            with target:
                self.assertEqual(drain(target), (len(data), sha(data)))
            sender.join()
            msg_type, channel, _ = event(client)
            self.assertEqual((msg_type, channel), (wire.MSG_CHANNEL_CLOSE_CONFIRMATION, OUR_CHANNEL))
            client.close()
        self.server.wait_for_log(r"\[%d\] channels left open: 1" % number)

    def test_failed_opens_leave_the_session_going(self):
        closed = free_port()
        cases = [("127.0.0.1", closed, r"cannot open channel to 127\.0\.0\.1:%d: Connection refused" % closed),
                 ("127.0.0.1", 0, r"cannot open channel to 127\.0\.0\.1:0: port out of range"),
                 ("a" * MAX_HOST_NAME, 80, r"cannot open channel to a{%d}:80: " % MAX_HOST_NAME),
                 ("no-such-host.invalid", 80, r"cannot open channel to no-such-host\.invalid:80: ")]
        client, number, _ = start(self.server)
        with Target("echo") as echo:
            for host, port, pattern in cases:
                with self.subTest(host[:20]):
                    self.assertEqual(open_channel(client, port, host),
                                     (wire.MSG_CHANNEL_OPEN_FAILURE, OUR_CHANNEL))
                    self.server.wait_for_log(r"\[%d\] %s" % (number, pattern))
                    _, theirs = open_channel(client, echo.port)
                    self.assertEqual(exchange(client, OUR_CHANNEL, theirs, b"still here"), b"still here")
        finish(client)
        self.server.wait_for_log(r"\[%d\] channels left open: 0" % number)

    def test_messages_that_end_the_session(self):
        cases = [  # (client flags, open one to echo first, message type, payload, log)
            (0, False, wire.MSG_CHANNEL_DATA, u32(99) + wire.string("x"), r"message 23 for unknown channel 99"),
            (0, False, wire.MSG_CHANNEL_CLOSE, u32(0), r"message 24 for unknown channel 0"),
            (0, False, wire.MSG_CHANNEL_CLOSE_CONFIRMATION, u32(5), r"message 25 for unknown channel 5"),
            (0, False, wire.MSG_CHANNEL_OPEN_FAILURE, u32(3), r"message 22 for unknown channel 3"),
            (0, True, wire.MSG_CHANNEL_OPEN_CONFIRMATION, "open", r"message 21 for channel \d+, which is not offered"),
            (0, True, wire.MSG_CHANNEL_CLOSE, "twice", r"message 24 repeated for channel \d+"),
            (0, False, wire.MSG_PORT_OPEN, u32(1) + wire.string("a" * (MAX_HOST_NAME + 1)) + u32(80),
             r"string of %d bytes exceeds %d" % (MAX_HOST_NAME + 1, MAX_HOST_NAME)),
            (2, False, wire.MSG_PORT_OPEN, u32(1) + wire.string("127.0.0.1") + u32(80), r"field runs past the end"),
            (2, False, wire.MSG_PORT_OPEN, u32(1) + wire.string("127.0.0.1") + u32(80)
             + wire.string("o" * (MAX_HOST_NAME + 1)), r"string of %d bytes exceeds" % (MAX_HOST_NAME + 1)),
            (0, False, wire.MSG_PORT_OPEN, u32(1) + wire.string("127.0.0.1") + u32(80) + wire.string("x"),
             r"\d+ unexpected bytes after the last field"),
        ]
        with Target("echo") as echo:
            for flags, opened, msg_type, payload, pattern in cases:
                with self.subTest(pattern):
                    client, number, _ = start(self.server, flags=flags)
                    if opened:
                        _, theirs = open_channel(client, echo.port)
                        payload = u32(theirs) + (u32(1) if payload == "open" else b"")
                        if pattern.startswith("message 24"):
                            client.send(wire.MSG_CHANNEL_CLOSE, payload)
                    client.send(msg_type, payload)
                    assert_disconnects(client)
                    client.close()
                    self.server.wait_for_log(r"\[%d\] protocol error: %s" % (number, pattern))
                    self.server.wait_for_log(r"\[%d\] channels left open: %d" % (number, int(opened)))

    def test_nothing_follows_the_exit_status_for_open_channels(self):
        with Target("echo") as echo:
            client, number, _ = start(self.server)
            for _ in range(4):
                open_channel(client, echo.port)
            client.send(wire.CMSG_EOF)
            while client.read()[0] != wire.SMSG_EXITSTATUS:
                pass
            client.send(wire.CMSG_EXIT_CONFIRMATION)
            late = []
            try:
                while True:
                    late.append(client.read()[0])
            except ConnectionClosed:
                pass
            client.close()
        self.assertEqual(late, [])
        self.server.wait_for_log(r"\[%d\] channels left open: 4" % number)

    def test_channel_count_is_bounded(self):
        with Target("echo") as echo:
            client, number, _ = start(self.server)
            numbers = {open_channel(client, echo.port)[1] for _ in range(MAX_CHANNELS)}
            self.assertEqual(numbers, set(range(MAX_CHANNELS)))
            self.assertEqual(open_channel(client, echo.port), (wire.MSG_CHANNEL_OPEN_FAILURE, OUR_CHANNEL))
            self.server.wait_for_log(r"\[%d\] cannot open channel to 127\.0\.0\.1:%d: %d channels open already"
                                     % (number, echo.port, MAX_CHANNELS))
            client.close()
            self.server.wait_for_log(r"\[%d\] channels left open: %d" % (number, MAX_CHANNELS), timeout=30)


class ServerSideForwardTest(SharedServerTest):
    def test_forward_requests_granted_and_refused(self):
        ok, failure = wire.SMSG_SUCCESS, wire.SMSG_FAILURE
        with Target("sink") as taken:
            spare = free_port()
            cases = [(taken.port, failure, r"%d to 127\.0\.0\.1:9: Address already in use" % taken.port),
                     (1023, failure, r"1023 to 127\.0\.0\.1:9: port is privileged"),
                     (70000, failure, r"70000 to 127\.0\.0\.1:9: port is privileged or out of range")]
            cases += [(free_port(), ok, None) for _ in range(MAX_FORWARDS)]
            cases += [(spare, failure, r"%d to 127\.0\.0\.1:9: %d ports forwarded already" % (spare, MAX_FORWARDS))]
            client, number, replies = start(self.server, forwards=[(port, "127.0.0.1", 9) for port, _, _ in cases])
            self.assertEqual(replies, [reply for _, reply, _ in cases])
            for _, _, pattern in cases:
                if pattern:
                    self.server.wait_for_log(r"\[%d\] cannot forward port %s" % (number, pattern))
            finish(client)
        self.server.wait_for_log(r"\[%d\] channels left open: 0" % number)
        for port, reply, _ in cases:
            if reply == ok:  # closed with the session
                with self.assertRaises(ConnectionRefusedError):
                    socket.create_connection(("127.0.0.1", port), timeout=5).close()

    def test_connections_to_a_forwarded_port(self):
        for flags in (0, wire.PROTOFLAG_HOST_IN_FWD_OPEN):
            with self.subTest(flags=flags):
                self.forward_round_trip(flags)

    def forward_round_trip(self, flags):
        port = free_port()
        client, number, replies = start(self.server, flags, forwards=[(port, "target.example", 4242)])
        self.assertEqual(replies, [wire.SMSG_SUCCESS])
        self.server.wait_for_log(r"\[%d\] forwarding port %d to target\.example:4242" % (number, port))
        local = socket.create_connection(("127.0.0.1", port), timeout=10)
        msg_type, _, reader = event(client)
        self.assertEqual(msg_type, wire.MSG_PORT_OPEN)
        theirs, host, host_port = reader.uint32(), reader.string(), reader.uint32()
        self.assertEqual((host, host_port), (b"target.example", 4242))
        if flags:
            self.assertEqual(reader.string(), b"127.0.0.1 port %d" % local.getsockname()[1])
        reader.end()
        client.send(wire.MSG_CHANNEL_OPEN_CONFIRMATION, u32(theirs) + u32(OUR_CHANNEL))
        ping = os.urandom(100000)
        send_all_then_eof(local, ping)
        # The client plays the target: it answers with the bytes reversed.
        self.assertEqual(self.play_target(client, theirs, lambda d: d[::-1]), ping)
        self.assertEqual(drain(local), (len(ping), sha(ping[::-1])))
        local.close()
        refused = socket.create_connection(("127.0.0.1", port), timeout=10)
        msg_type, _, reader = event(client)
        client.send(wire.MSG_CHANNEL_OPEN_FAILURE, u32(reader.uint32()))
        self.assertEqual(drain(refused)[0], 0)
        self.server.wait_for_log(r"\[%d\] client refused channel \d+ to target\.example:4242" % number)
        finish(client)
        self.server.wait_for_log(r"\[%d\] channels left open: 0" % number)

    def play_target(self, client, theirs, answer):
        """Read the channel to its close, answer, close both ways; what was read."""
        received = bytearray()
        while True:
            msg_type, channel, reader = event(client)
            self.assertEqual(channel, OUR_CHANNEL)
            if msg_type == wire.MSG_CHANNEL_CLOSE:
                break
            self.assertEqual(msg_type, wire.MSG_CHANNEL_DATA)
            received += reader.string()
        client.send(wire.MSG_CHANNEL_CLOSE_CONFIRMATION, u32(theirs))
        send_data(client, theirs, answer(bytes(received)))
        self.assertEqual(event(client)[:2], (wire.MSG_CHANNEL_CLOSE_CONFIRMATION, OUR_CHANNEL))
        return bytes(received)


class NoForwardingTest(unittest.TestCase):
    def test_everything_is_refused_and_logged(self):
        with ServerProcess("--no-forwarding") as server, Target("echo") as echo:
            port = free_port()
            client, number, replies = start(server, forwards=[(port, "127.0.0.1", echo.port)])
            self.assertEqual(replies, [wire.SMSG_FAILURE])
            self.assertEqual(open_channel(client, echo.port), (wire.MSG_CHANNEL_OPEN_FAILURE, OUR_CHANNEL))
            finish(client)
            server.wait_for_log(r"\[%d\] cannot forward port %d to 127\.0\.0\.1:%d: forwarding is disabled"
                                % (number, port, echo.port))
            server.wait_for_log(r"\[%d\] cannot open channel to 127\.0\.0\.1:%d: forwarding is disabled"
                                % (number, echo.port))


if __name__ == "__main__":
    unittest.main()
