#!/usr/bin/python3
"""ssh1d as a process, driven by the package's own client."""
import os
import random
import socket
import threading
import time
import unittest

from harness import PASSWORD, USER, ServerProcess, SharedServerTest, connect, keyed

from ssh1dlib import wire
from ssh1dlib.client import Client, ClientError
from ssh1dlib.transport import ConnectionClosed
from ssh1dlib.wire import ProtocolError


class SessionTest(SharedServerTest):
    server_args = ("--allow-none",)

    def test_command_output_and_status_under_each_cipher(self):
        # The command's own bytes, not valid UTF-8, must reach the shell as sent.
        script = b"head -c 300000 /dev/zero | tr '\\0' x; printf '\xc3\xa9\xff'; echo oops >&2; cat; exit 7"
        for cipher in (wire.CIPHER_3DES, wire.CIPHER_BLOWFISH, wire.CIPHER_NONE):
            with connect(self.server.port, cipher) as client:
                out, err, status = client.run(script, stdin=b"from stdin\n")
            self.assertEqual(out, b"x" * 300000 + b"\xc3\xa9\xff" + b"from stdin\n", cipher)
            self.assertEqual((err, status), (b"oops\n", 7), cipher)

    def test_background_job_holding_the_output_does_not_hold_the_session(self):
        for pty in (False, True):
            with connect(self.server.port) as client:
                if pty:
                    self.assertEqual(client.request_pty(), wire.SMSG_SUCCESS)
                started = time.monotonic()
                out, _, status = client.run("sleep 30 & echo done; exit 4")
            self.assertLess(time.monotonic() - started, 10)
            self.assertEqual((out.strip(), status), (b"done", 4))

    def test_pty_shell_sees_type_size_and_resize(self):
        with connect(self.server.port, wire.CIPHER_BLOWFISH) as client:
            self.assertEqual(client.request_pty("vt52", rows=30, cols=100), wire.SMSG_SUCCESS)
            self.assertEqual(client.request_pty("vt100"), wire.SMSG_FAILURE)  # only one pty
            client.send(wire.CMSG_EXEC_SHELL)
            client.send(wire.CMSG_STDIN_DATA, wire.string("echo T=$TERM; stty size\n"))
            self.assertIn(b"T=vt52\r\n30 100\r\n", read_until(client, b"30 100\r\n"))
            client.send(wire.CMSG_WINDOW_SIZE, b"".join(wire.uint32(v) for v in (40, 132, 0, 0)))
            client.send(wire.CMSG_STDIN_DATA, wire.string("stty size; exit 5\n"))
            out, _, status = collect(client)
            self.assertIn(b"40 132\r\n", out)
            self.assertEqual(status, 5)

    def test_keystrokes_before_the_shell_are_kept(self):
        with keyed(self.server.port) as client:
            client.send(wire.CMSG_STDIN_DATA, wire.string("echo early\n"))
            self.assertEqual(client.login(USER, PASSWORD)[0], wire.SMSG_SUCCESS)
            client.send(wire.CMSG_STDIN_DATA, wire.string("exit 0\n"))
            self.assertEqual(client.request_pty(), wire.SMSG_SUCCESS)
            out, _, status = client.run()
        self.assertIn(b"early\r\n", out)
        self.assertEqual(status, 0)

    def test_wrong_passwords_fail_then_disconnect(self):
        with keyed(self.server.port) as client:
            self.assertEqual(client.login(USER, "wrong")[0], wire.SMSG_FAILURE)
            for _ in range(4):
                client.send(wire.CMSG_AUTH_PASSWORD, wire.string("nope"))
                self.assertEqual(client.read()[0], wire.SMSG_FAILURE)
            client.send(wire.CMSG_AUTH_PASSWORD, wire.string("nope"))
            self.assertEqual(client.read()[0], wire.MSG_DISCONNECT)
        # Zero padding after the password is not part of it.
        for user, password, reply in (("nobody", PASSWORD, wire.SMSG_FAILURE),
                                      (USER, PASSWORD + "\0" * 21, wire.SMSG_SUCCESS)):
            with keyed(self.server.port) as client:
                self.assertEqual(client.login(user, password)[0], reply, user)

    def test_several_clients_at_once(self):
        results = {}

        def one(i):
            with connect(self.server.port, (wire.CIPHER_3DES, wire.CIPHER_BLOWFISH)[i % 2]) as client:
                results[i] = client.run("sleep 2; echo session %d" % i)

        threads = [threading.Thread(target=one, args=(i,)) for i in range(4)]
        started = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        self.assertLess(time.monotonic() - started, 7)  # side by side, not one after another (8 s)
        for i in range(4):
            self.assertEqual(results[i], (b"session %d\n" % i, b"", 0))


def read_until(client, marker, limit=200):
    seen = b""
    for _ in range(limit):
        msg_type, reader = client.read()
        if msg_type == wire.SMSG_STDOUT_DATA:
            seen += reader.string()
            if marker in seen:
                return seen
    raise AssertionError("never saw %r in %r" % (marker, seen))


def collect(client):
    out = []
    while True:
        msg_type, reader = client.read()
        if msg_type == wire.SMSG_STDOUT_DATA:
            out.append(reader.string())
        elif msg_type == wire.SMSG_EXITSTATUS:
            return b"".join(out), b"", reader.uint32()


class HostileClientTest(SharedServerTest):
    """Whatever a client sends, the server answers or hangs up and keeps serving."""

    def tearDown(self):
        with connect(self.server.port) as client:  # still serving
            self.assertEqual(client.run("echo alive")[0], b"alive\n")

    def raw(self, opening):
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        self.assertTrue(sock.recv(100).startswith(b"SSH-1.5-"))
        sock.sendall(opening)
        return sock

    def assert_hangs_up(self, sock, log_pattern):
        data = b""
        try:
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                data += chunk
        except ConnectionResetError:
            pass
        sock.close()
        self.server.wait_for_log(log_pattern)
        return data

    def test_bad_framing_and_identification(self):
        hostile = b"SSH-1.5-hostile\n"
        cases = [(hostile + (wire.MAX_PACKET_LENGTH + 1).to_bytes(4, "big"), r"packet length 262145 exceeds 262144"),
                 (hostile + bytes.fromhex("00000005 000000 03 00000000"), r"check value does not match"),
                 (b"SSH-1.5-" + b"A" * 5000, r"identification line longer than 255")]
        for opening, pattern in cases:
            self.assert_hangs_up(self.raw(opening), pattern)
        reply = self.assert_hangs_up(self.raw(b"GET / HTTP/1.0\r\n\r\n"), r"unsupported client")
        self.assertIn(b"Protocol major versions differ", reply)

    def test_malformed_fields(self):
        cases = [(False, wire.CMSG_USER, b"\x00\x00\x00\xc8abc", r"past the end"),
                 (False, wire.CMSG_USER, wire.string("u" * 300), r"exceeds 256"),
                 (False, wire.CMSG_EXEC_SHELL, b"", r"expected message 4, got 12"),
                 (True, wire.CMSG_REQUEST_PTY, wire.string("vt100\x1b[0m") + bytes(17), r""),
                 (True, wire.CMSG_EXEC_CMD, wire.string("echo \0 hi"), r"")]
        for logged_in, msg_type, payload, pattern in cases:
            with (connect if logged_in else keyed)(self.server.port, wire.CIPHER_BLOWFISH) as client:
                client.send(msg_type, payload)
                self.assertEqual(client.read()[0], wire.MSG_DISCONNECT, payload)
            self.server.wait_for_log(pattern)

    def test_random_messages_in_every_phase(self):
        rng = random.Random(1234)
        for round_number in range(40):
            phase = round_number % 4
            with Client("127.0.0.1", self.server.port, timeout=10) as client:
                try:
                    client.identify()
                    if phase == 0:
                        client.read_public_keys()
                    else:
                        client.key_exchange(wire.CIPHER_BLOWFISH)
                    if phase >= 2:
                        client.login(USER, PASSWORD)
                    if phase == 3:
                        client.request_pty()
                        client.send(wire.CMSG_EXEC_CMD, wire.string("cat"))
                    for _ in range(20):
                        payload = bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
                        client.send(rng.choice([rng.randrange(256), 4, 9, 10, 11, 13, 16, 38]), payload)
                except (ConnectionClosed, ProtocolError):
                    pass
        time.sleep(0.5)
        self.assertFalse([line for line in self.server.lines if "internal error" in line])

    def test_unoffered_cipher_and_wrong_session_key(self):
        with Client("127.0.0.1", self.server.port) as client:  # none is not offered by default
            client.identify()
            self.assertEqual(client.key_exchange(wire.CIPHER_NONE), wire.MSG_DISCONNECT)
        self.server.wait_for_log(r"cipher type 0 is not offered")
        with Client("127.0.0.1", self.server.port) as client:
            client.identify()
            cookie, server_key, host_key, _ = client.read_public_keys()
            client.send(wire.CMSG_SESSION_KEY, bytes([3]) + cookie + wire.mpint(12345) + wire.uint32(0))
            self.assertEqual(client.read()[0], wire.MSG_DISCONNECT)
        self.server.wait_for_log(r"wrong padding type")

    def test_client_vanishing_mid_session_ends_its_shell(self):
        for command in ("echo started; exec sleep 60", "exec yes"):  # idle, and flooding a stalled client
            client = connect(self.server.port)
            client.send(wire.CMSG_EXEC_CMD, wire.string("echo $$; " + command))
            pid = int(client.read()[1].string().split()[0])
            time.sleep(1)
            ended = sum("closed;" in line for line in self.server.lines) + 1
            client.close()
            deadline = time.monotonic() + 10
            while sum("closed;" in line for line in self.server.lines) < ended:
                self.assertLess(time.monotonic(), deadline, "session did not end")
                time.sleep(0.05)
            self.assertFalse(is_alive(pid), command)


class AccountTest(unittest.TestCase):
    def test_non_ascii_password_is_compared_as_typed(self):
        with ServerProcess("--password", "pässwörd") as server, keyed(server.port) as client:
            self.assertEqual(client.login(USER, "pässwörd".encode("utf-8"))[0], wire.SMSG_SUCCESS)


class StopTest(unittest.TestCase):
    def test_sigterm_ends_server_and_sessions(self):
        server = ServerProcess()
        client = connect(server.port)
        client.send(wire.CMSG_EXEC_CMD, wire.string("echo $$; exec sleep 60"))
        msg_type, reader = client.read()
        pid = int(reader.string())
        self.assertEqual(server.stop(), 0)
        self.assertIn("ssh1d: stopped", server.lines)
        with self.assertRaises((ConnectionClosed, ClientError)):
            while True:
                client.read()
        client.close()
        time.sleep(0.2)
        self.assertFalse(os.path.exists("/proc/%d" % pid) and is_alive(pid))


def is_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().split()[2] != "Z"
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()
