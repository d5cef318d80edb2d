#!/usr/bin/python3
"""Each --fault shows up on the wire the way a client under test will meet it."""
import time
import unittest

from harness import PASSWORD, USER, ServerProcess, connect, keyed

from ssh1dlib import wire
from ssh1dlib.client import Client
from ssh1dlib.faults import LARGEST_STDOUT_STRING
from ssh1dlib.transport import ConnectionClosed
from ssh1dlib.wire import ProtocolError


class FaultTest(unittest.TestCase):
    def server(self, *faults):
        args = []
        for fault in faults:
            args += ["--fault", fault]
        server = ServerProcess(*args)
        self.addCleanup(server.stop)
        return server

    def client(self, server, timeout=20.0):
        client = Client("127.0.0.1", server.port, timeout=timeout)
        self.addCleanup(client.close)
        return client

    def keyed(self, server, connected=False, cipher=wire.CIPHER_BLOWFISH):
        client = (connect if connected else keyed)(server.port, cipher)
        self.addCleanup(client.close)
        return client


class HandshakeFaultTest(FaultTest):
    def test_bad_identification_line(self):
        server = self.server("bad-ident=HELLO-1.5")
        client = self.client(server)
        client.identify()
        self.assertEqual(client.server_line, b"HELLO-1.5")
        client.close()
        server.wait_for_log(r"fault: sent a bad identification line; waiting")

    def test_flood_before_and_between_packets(self):
        server = self.server("ignore-flood=6")
        client = self.keyed(server, True, wire.CIPHER_3DES)
        self.assertEqual(client.transport.packets_ignored, 4 * 6)  # key, success, failure, success
        self.assertEqual(client.run("echo through")[0], b"through\n")

    def test_disconnect_after_user(self):
        for fault, expected in (("disconnect-after-user=Go away", b"Go away"),
                                ("disconnect-after-user-long=700", 700)):
            server = self.server(fault)
            client = self.keyed(server)
            client.send(wire.CMSG_USER, wire.string(USER))
            msg_type, reader = client.read()
            self.assertEqual(msg_type, wire.MSG_DISCONNECT)
            reason = reader.string()
            self.assertEqual(reason if isinstance(expected, bytes) else len(reason), expected)

    def test_password_faults(self):
        client = self.keyed(self.server("no-password"))
        client.send(wire.CMSG_USER, wire.string(USER))
        self.assertEqual(client.read()[0], wire.SMSG_SUCCESS)
        client = self.keyed(self.server("refuse-password"))
        self.assertEqual(client.login(USER, PASSWORD)[0], wire.SMSG_FAILURE)

    def test_padded_password_faults(self):
        padded = PASSWORD.encode() + bytes(32 - len(PASSWORD))
        client = self.keyed(self.server())
        self.assertEqual(client.login(USER, padded)[0], wire.SMSG_SUCCESS)
        client = self.keyed(self.server("refuse-padded-password"))
        self.assertEqual(client.login(USER, padded)[0], wire.SMSG_FAILURE)
        client = self.keyed(self.server("refuse-padded-password"))
        self.assertEqual(client.login(USER, PASSWORD)[0], wire.SMSG_SUCCESS)

    def test_disconnect_on_ignore(self):
        client = self.keyed(self.server("disconnect-on-ignore"))
        client.send(wire.MSG_IGNORE, wire.string(b"chaff"))
        msg_type, reader = client.read()
        self.assertEqual(msg_type, wire.MSG_DISCONNECT)
        self.assertIn(b"ignore", reader.string())

    def test_keys_too_close_for_double_encryption(self):
        client = self.client(self.server("close-keys"))
        client.identify()
        _, server_key, host_key, _ = client.read_public_keys()
        self.assertEqual((server_key.bits, host_key.bits), (1016, 1024))

    def test_stall(self):
        client = self.client(self.server("stall=1.5@2"))
        client.identify()
        started = time.monotonic()
        self.assertEqual(client.key_exchange(), wire.SMSG_SUCCESS)
        self.assertGreaterEqual(time.monotonic() - started, 1.4)


class FramingFaultTest(FaultTest):
    def test_broken_packets(self):
        for fault, errors, pattern, timeout in (("bad-crc", ProtocolError, "check value", 20),
                                                ("long-length", (ConnectionClosed, ProtocolError), "", 2),
                                                ("close-mid-packet", ConnectionClosed, "", 20)):
            client = self.client(self.server(fault), timeout=timeout)
            client.identify()
            with self.assertRaisesRegex(errors, pattern, msg=fault):
                client.key_exchange()

    def test_oversized_length_then_silence(self):
        server = self.server("huge-length=1")
        client = self.client(server)
        client.identify()
        with self.assertRaisesRegex(ProtocolError, "262145 exceeds"):
            client.read()
        client.close()
        server.wait_for_log(r"client")


class InsertionFaultTest(FaultTest):
    def test_spliced_packet_passes_its_check_and_repeats_a_block(self):
        for cipher in (wire.CIPHER_3DES, wire.CIPHER_BLOWFISH):
            client = self.client(self.server("insertion-attack"))
            client.identify()
            received = []
            decrypt = client.transport.read_exact
            client.transport.read_exact = lambda n: received.append(decrypt(n)) or received[-1]
            self.assertEqual(client.key_exchange(cipher), wire.SMSG_STDOUT_DATA)
            blocks = [received[-1][i:i + 8] for i in range(0, len(received[-1]), 8)]
            self.assertGreater(len(blocks), len(set(blocks)))
            # The chains stayed in step: the real answer follows intact.
            self.assertEqual(client.read()[0], wire.SMSG_SUCCESS)


class OutputFaultTest(FaultTest):
    def chunks(self, *faults, command="echo hello"):
        client = self.keyed(self.server(*faults), True)
        chunks = []
        _, _, status = client.run(command, sink=chunks.append)
        self.assertEqual(status, 0)
        return chunks

    def test_empty_and_huge_strings(self):
        chunks = self.chunks("empty-stdout", "huge-stdout")
        self.assertEqual(chunks[0], b"")
        self.assertEqual(len(chunks[1]), LARGEST_STDOUT_STRING)
        self.assertEqual(b"".join(chunks[2:]), b"hello\n")

    def test_one_byte_packets(self):
        chunks = self.chunks("one-byte-packets", command="echo one byte each")
        self.assertEqual(chunks, [bytes([b]) for b in b"one byte each\n"])

    def test_pty_output_in_packets_of_512(self):
        server = ServerProcess("--pty-packet-data", "512")
        self.addCleanup(server.stop)
        client = self.keyed(server, True)
        self.assertEqual(client.request_pty(), wire.SMSG_SUCCESS)
        chunks = []
        client.run("head -c 5000 /dev/zero | tr '\\0' x", sink=chunks.append)
        self.assertLessEqual(max(len(chunk) for chunk in chunks), 512)
        self.assertEqual(sum(len(chunk) for chunk in chunks), 5000)


if __name__ == "__main__":
    unittest.main()
