#!/usr/bin/python3
"""The bounds that keep a hostile or runaway client from holding the server."""
import socket
import time
import unittest

from harness import USER, ServerProcess, SharedServerTest, connect, keyed

from ssh1dlib import wire
from ssh1dlib.client import Client


class FieldLimitTest(SharedServerTest):
    def fresh(self):
        client = keyed(self.server.port, wire.CIPHER_BLOWFISH)
        self.addCleanup(client.close)
        return client

    def logged_in(self):
        client = connect(self.server.port, wire.CIPHER_BLOWFISH)
        self.addCleanup(client.close)
        return client

    def test_packet_shorter_than_type_and_check(self):
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        sock.recv(100)
        sock.sendall(b"SSH-1.5-short\n" + bytes.fromhex("00000004 00000000 00000000"))
        while sock.recv(4096):
            pass
        sock.close()
        self.server.wait_for_log(r"packet length 4 is too short")

    def test_password_length(self):
        client = self.fresh()
        client.send(wire.CMSG_USER, wire.string(USER))
        self.assertEqual(client.read()[0], wire.SMSG_FAILURE)
        client.send(wire.CMSG_AUTH_PASSWORD, wire.string("p" * 1025))
        self.assertEqual(client.read()[0], wire.MSG_DISCONNECT)
        self.server.wait_for_log(r"string of 1025 bytes exceeds 1024")

    def test_terminal_name_length(self):
        client = self.logged_in()
        self.assertEqual(client.request_pty("x" * 64), wire.SMSG_SUCCESS)
        for bad in ("x" * 65, "vt100\n"):
            client = self.logged_in()
            self.assertEqual(client.request_pty(bad), wire.MSG_DISCONNECT)

    def test_input_before_the_shell_is_capped(self):
        client = self.logged_in()
        client.send(wire.CMSG_STDIN_DATA, wire.string(b"a" * 40000))
        client.send(wire.CMSG_STDIN_DATA, wire.string(b"b" * 40000))
        out, _, status = client.run("wc -c")
        self.assertEqual((out.strip(), status), (b"65536", 0))
        self.server.wait_for_log(r"dropping 14464 bytes of input sent before the shell")

    def test_client_packet_size_request(self):
        client = self.logged_in()
        client.send(wire.CMSG_MAX_PACKET_SIZE, wire.uint32(4095))
        self.assertEqual(client.read()[0], wire.SMSG_FAILURE)
        client.send(wire.CMSG_MAX_PACKET_SIZE, wire.uint32(8192))
        self.assertEqual(client.read()[0], wire.SMSG_SUCCESS)
        chunks = []
        client.run("head -c 100000 /dev/zero", sink=chunks.append)
        self.assertEqual(sum(map(len, chunks)), 100000)
        self.assertLessEqual(max(map(len, chunks)), 8192 - 64)


class ConnectionLimitTest(unittest.TestCase):
    def test_login_grace_and_session_count(self):
        with ServerProcess("--login-grace", "1", "--max-sessions", "1") as server:
            idle = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            self.assertTrue(idle.recv(100).startswith(b"SSH-1.5-"))
            server.wait_for_log(r"\[1\] connection from")
            turned_away = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            self.assertEqual(turned_away.recv(100), b"")
            server.wait_for_log(r"refusing 127\.0\.0\.1:\d+: 1 sessions already")
            started = time.monotonic()
            self.assertEqual(idle.recv(100), b"")  # hung up on by the grace timer
            self.assertLess(time.monotonic() - started, 5)
            server.wait_for_log(r"login grace time of 1 s exceeded")
            idle.close()
            turned_away.close()
            server.wait_for_log(r"\[1\] closed")
            with connect(server.port) as client:  # a slot is free again
                self.assertEqual(client.run("echo ok")[0], b"ok\n")


class ServerKeyPolicyTest(unittest.TestCase):
    def moduli(self, server, count, pause=0.0):
        seen = []
        for _ in range(count):
            with Client("127.0.0.1", server.port) as client:
                client.identify()
                seen.append(client.read_public_keys()[1].n)
            time.sleep(pause)
        return seen

    def test_lifetimes(self):
        with ServerProcess() as server:
            first, second = self.moduli(server, 2)
            self.assertEqual(first, second)
        with ServerProcess("--server-key-regen", "per-connection") as server:
            first, second = self.moduli(server, 2)
            self.assertNotEqual(first, second)
        with ServerProcess("--server-key-regen", "0.5") as server:
            first, second = self.moduli(server, 2, pause=1.5)
            self.assertNotEqual(first, second)


if __name__ == "__main__":
    unittest.main()
