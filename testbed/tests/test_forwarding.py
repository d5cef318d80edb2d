#!/usr/bin/python3
"""ssh1d's port forwarding with Debian's protocol-1 client (-L and -R) as a black box."""
import hashlib
import os
import shutil
import socket
import subprocess
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import PASSWORD, ServerProcess
from targets import Target, drain, free_port, send_all_then_eof
from test_interop import client_command, debian_client_setup

CLIENT_SECONDS = 60
PORT_WAIT_SECONDS = 20
MEGABYTE = 1024 * 1024


def wait_for_port(port):
    """A connection to the client's forwarded port once it listens."""
    deadline = time.monotonic() + PORT_WAIT_SECONDS
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=CLIENT_SECONDS)
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def round_trip(port, data):
    """(count, digest) of what comes back for data sent with EOF on a new connection."""
    sock = wait_for_port(port)
    with sock:
        send_all_then_eof(sock, data)
        return drain(sock)


class ForwardingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder, cls.env = debian_client_setup("ssh1d-forwarding-")
        cls.server = ServerProcess(host_key_bits=2048)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def start_client(self, *forwards):
        """ssh1 with the forwards, its command running; (process, session number)."""
        number = self.server.last_session() + 1
        options = [word for forward in forwards for word in forward]
        args = client_command(self.folder, self.server.port, PASSWORD, options, ["sleep 600"])
        log = open(os.path.join(self.folder, "client-%d.log" % number), "w+b")
        proc = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=log)
        proc.log = log
        self.addCleanup(self.stop_client, proc)
        self.server.wait_for_log(r"\[%d\] started command 'sleep 600'" % number, timeout=CLIENT_SECONDS)
        return proc, number

    def stop_client(self, proc):
        """Its log, once it has ended; again later gives the same."""
        if proc.poll() is None:
            proc.terminate()
            proc.wait(CLIENT_SECONDS)
        if not proc.log.closed:
            proc.log.seek(0)
            proc.text = proc.log.read()
            proc.log.close()
        return proc.text

    def assert_all_closed(self, proc, number):
        """The client hangs up; ssh1d must have freed every channel by then."""
        text = self.stop_client(proc)
        self.server.wait_for_log(r"\[%d\] channels left open: 0" % number)
        return text

    def test_local_forward_twenty_megabytes_byte_exact(self):
        data = os.urandom(20 * MEGABYTE)
        with Target("echo") as echo:
            port = free_port()
            proc, number = self.start_client(["-L", "%d:127.0.0.1:%d" % (port, echo.port)])
            self.assertEqual(round_trip(port, data), (len(data), hashlib.sha256(data).hexdigest()))
            self.server.wait_for_log(r"\[%d\] channel \d+ closed, %d bytes in, %d bytes out"
                                     % (number, len(data), len(data)), timeout=30)
            self.assert_all_closed(proc, number)

    def test_local_forward_connections_at_once(self):
        size, count = 3 * MEGABYTE, 4
        blobs = [os.urandom(size) for _ in range(count)]
        for kind in ("source", "sink"):
            with self.subTest(kind), Target(kind, size) as target:
                port = free_port()
                proc, number = self.start_client(["-L", "%d:127.0.0.1:%d" % (port, target.port)])
                socks = [wait_for_port(port) for _ in range(count)]
                if kind == "sink":
                    senders = [send_all_then_eof(sock, blob) for sock, blob in zip(socks, blobs)]
                # All at once: the client stops reading the server while any one
                # of its channels has a full buffer, as protocol 1 gives it no other brake.
                with ThreadPoolExecutor(count) as pool:
                    results = list(pool.map(drain, socks))
                for sock in socks:
                    sock.close()
                if kind == "source":
                    self.assertEqual(sorted(digest for _, digest in results), sorted(target.sent_digests))
                    self.assertEqual({n for n, _ in results}, {size})
                else:
                    for sender in senders:
                        sender.join()
                    self.server.wait_for_log(r"\[%d\] channel \d+ closed" % number, count=count, timeout=30)
                    expected = sorted((size, hashlib.sha256(blob).hexdigest()) for blob in blobs)
                    self.assertEqual(sorted(target.received), expected)
                self.server.wait_for_log(r"\[%d\] channel \d+ closed" % number, count=count, timeout=30)
                self.assert_all_closed(proc, number)

    def test_many_short_connections(self):
        # ssh1 sends its first data the moment the open is confirmed: each of
        # these races ssh1d's own bookkeeping of the new channel.
        rounds = 60
        with Target("echo") as echo:
            port = free_port()
            proc, number = self.start_client(["-L", "%d:127.0.0.1:%d" % (port, echo.port)])
            for index in range(rounds):
                data = b"%d " % index * 300
                self.assertEqual(round_trip(port, data), (len(data), hashlib.sha256(data).hexdigest()))
            self.server.wait_for_log(r"\[%d\] channel \d+ closed" % number, count=rounds, timeout=30)
            self.assert_all_closed(proc, number)

    def test_remote_forward_round_trip(self):
        data = os.urandom(2 * MEGABYTE)
        with Target("echo") as echo:
            port = free_port()
            proc, number = self.start_client(["-R", "%d:127.0.0.1:%d" % (port, echo.port)])
            self.server.wait_for_log(r"\[%d\] forwarding port %d to 127\.0\.0\.1:%d" % (number, port, echo.port))
            self.server.wait_for_log(r"\[%d\] cipher 3des, client protocol flags 0x3" % number)
            for _ in range(2):
                self.assertEqual(round_trip(port, data), (len(data), hashlib.sha256(data).hexdigest()))
            self.server.wait_for_log(r"\[%d\] channel \d+ closed, %d bytes in, %d bytes out"
                                     % (number, len(data), len(data)), count=2, timeout=30)
            self.assert_all_closed(proc, number)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5)

    def test_refusals_as_the_client_sees_them(self):
        closed, port, privileged = free_port(), free_port(), 1000
        proc, number = self.start_client(["-L", "%d:127.0.0.1:%d" % (port, closed)],
                                         ["-R", "%d:127.0.0.1:%d" % (privileged, closed)])
        self.server.wait_for_log(r"\[%d\] cannot forward port %d to 127\.0\.0\.1:%d: port is privileged"
                                 % (number, privileged, closed))
        self.assertEqual(round_trip(port, b"nobody listens"), (0, hashlib.sha256(b"").hexdigest()))
        self.server.wait_for_log(r"\[%d\] cannot open channel to 127\.0\.0\.1:%d: Connection refused"
                                 % (number, closed))
        text = self.assert_all_closed(proc, number)
        self.assertIn(b"Warning: Could not request remote forwarding.", text)


if __name__ == "__main__":
    unittest.main()
