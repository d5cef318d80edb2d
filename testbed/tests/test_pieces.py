#!/usr/bin/python3
"""Checks of the server's building blocks against independent references."""
import os
import socket
import stat
import sys
import tempfile
import unittest

from Cryptodome.Cipher import DES, Blowfish

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from ssh1dlib import ciphers, rsakeys, wire  # noqa: E402
from ssh1dlib.faults import FaultError, Faults
from ssh1dlib.transport import Transport
from ssh1dlib.wire import ProtocolError


def reference_crc32(data):
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    register = 0
    for b in data:
        register = table[(register ^ b) & 0xFF] ^ (register >> 8)
    return register


class CheckValueTest(unittest.TestCase):
    def test_known_values_and_table_register_on_random_data(self):
        self.assertEqual(wire.crc32(b""), 0)
        self.assertEqual(wire.crc32(b"abc"), 0xCA6598D0)
        for size in (1, 7, 8, 255, 4096):
            data = os.urandom(size)
            self.assertEqual(wire.crc32(data), reference_crc32(data), size)


class EncodingTest(unittest.TestCase):
    def test_mpint(self):
        self.assertEqual(wire.mpint(255), b"\x00\x08\xff")
        self.assertEqual(wire.mpint(256), b"\x00\x09\x01\x00")
        self.assertEqual(wire.mpint(0), b"\x00\x00")
        self.assertEqual(wire.Reader(b"\x00\x09\x01\x00").mpint(), 256)
        # The client writes zero with a one-bit count and one byte.
        self.assertEqual(wire.Reader(b"\x00\x01\x00").mpint(), 0)
        big = (1 << 1023) | 12345
        self.assertEqual(wire.Reader(wire.mpint(big)).mpint(), big)

    def test_reader_refuses_fields_past_the_end(self):
        for read in (lambda: wire.Reader(b"\x00\x00\x00\x05abc").string(),
                     lambda: wire.Reader(b"\x04\x00\x01").mpint(),
                     lambda: wire.Reader(b"\x00\x00\x01").uint32(),
                     lambda: wire.Reader(wire.string("x" * 10)).string(limit=9),
                     lambda: wire.Reader(b"ab").end()):
            with self.assertRaises(wire.ProtocolError):
                read()

    def test_packet_framing(self):
        transport = Transport(sock=None)
        length, body = transport.frame(wire.CMSG_EXEC_SHELL, b"")
        self.assertEqual((length, len(body)), (5, 8))  # 3 padding bytes, 12 on the wire
        self.assertEqual(body[3], wire.CMSG_EXEC_SHELL)
        self.assertEqual(int.from_bytes(body[-4:], "big"), wire.crc32(body[:-4]))
        length, body = transport.frame(wire.CMSG_EXEC_SHELL, b"abc")
        self.assertEqual((length, len(body)), (8, 16))  # a full block of padding


def swapped(data):
    return ciphers.swap_words(bytes.fromhex(data))


class TripleDesTest(unittest.TestCase):
    KEY = bytes(range(1, 33))

    def test_equal_keys_reduce_to_single_des_cbc_across_packets(self):
        k = bytes.fromhex("133457799BBCDFF1")
        enc = ciphers.TripleDesEncryptor(k * 4)
        # Published DES vector: the first block of a zero-IV chain is plain DES.
        self.assertEqual(enc.process(bytes.fromhex("0123456789ABCDEF")).hex(), "85e813540f0ab405")
        reference = DES.new(k, DES.MODE_CBC, iv=bytes.fromhex("85e813540f0ab405"))
        packet = os.urandom(24)
        self.assertEqual(enc.process(packet), reference.encrypt(packet))

    def test_three_passes_each_with_its_own_chain(self):
        k1, k2, k3 = self.KEY[:8], self.KEY[8:16], self.KEY[16:24]
        chains = [bytes(8)] * 3
        enc = ciphers.TripleDesEncryptor(self.KEY)
        for size in (8, 32, 16):
            packet = os.urandom(size)
            expected = packet
            for i, (key, op) in enumerate(((k1, "encrypt"), (k2, "decrypt"), (k3, "encrypt"))):
                out = getattr(DES.new(key, DES.MODE_CBC, iv=chains[i]), op)(expected)
                chains[i] = (out if op == "encrypt" else expected)[-8:]
                expected = out
            self.assertEqual(enc.process(packet), expected)


class BlowfishTest(unittest.TestCase):
    # Published Blowfish vectors (key, plaintext, ciphertext), big-endian halves.
    VECTORS = [("0000000000000000", "0000000000000000", "4ef997456198dd78"),
               ("ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"),
               ("3000000000000000", "1000000000000001", "7d856f9a613063f2"),
               ("0123456789abcdef", "1111111111111111", "61f9c3802281b096"),
               ("fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d")]

    def test_published_vectors_hold_with_the_byte_reversal_only(self):
        for key, plain, cipher in self.VECTORS:
            enc = ciphers.BlowfishEncryptor(bytes.fromhex(key))
            self.assertEqual(enc.process(swapped(plain)), swapped(cipher), key)
            direct = ciphers.BlowfishEncryptor(bytes.fromhex(key)).process(bytes.fromhex(plain))
            self.assertNotEqual(direct.hex(), cipher, key)

    def test_chain_continues_across_packets(self):
        key = os.urandom(32)
        enc = ciphers.BlowfishEncryptor(key)
        block = Blowfish.new(key, Blowfish.MODE_ECB)
        chain = bytes(8)
        for size in (8, 24, 16):
            packet = os.urandom(size)
            expected = b""
            for i in range(0, size, 8):
                mixed = bytes(a ^ b for a, b in zip(ciphers.swap_words(packet[i:i + 8]), chain))
                chain = block.encrypt(mixed)
                expected += ciphers.swap_words(chain)
            self.assertEqual(enc.process(packet), expected)


class RoundTripTest(unittest.TestCase):
    def test_both_ciphers_chain_across_several_packets(self):
        for cipher in (wire.CIPHER_3DES, wire.CIPHER_BLOWFISH):
            dec, enc = ciphers.make_pair(cipher, os.urandom(32))
            packet = os.urandom(40)
            first, second = enc.process(packet), enc.process(packet)
            self.assertNotEqual(first, second, cipher)
            self.assertEqual((dec.process(first), dec.process(second)), (packet, packet), cipher)
            for size in (8, 64, 32768):
                packet = os.urandom(size)
                self.assertEqual(dec.process(enc.process(packet)), packet, cipher)
            self.assertEqual(enc.process(b""), b"", cipher)


class CompressionTest(unittest.TestCase):
    def pair(self):
        left, right = socket.socketpair()
        self.addCleanup(left.close)
        self.addCleanup(right.close)
        sender, receiver = Transport(left), Transport(right)
        sender.start_compression(6)
        receiver.start_compression(6)
        return sender, receiver

    def test_streams_carry_over_packets_and_expansion_is_bounded(self):
        sender, receiver = self.pair()
        text = b"compressible line\n" * 500
        for payload in (b"", wire.string(text), wire.string(text), wire.string(os.urandom(3000))):
            sender.send_packet(wire.SMSG_STDOUT_DATA, payload)
            msg_type, reader = receiver.read_packet()
            self.assertEqual((msg_type, reader.rest()), (wire.SMSG_STDOUT_DATA, payload))
        counts = sender.compressed_counts
        self.assertLess(counts["sent_wire"], 3000 + len(text) // 4)
        sender.send_packet(wire.SMSG_STDOUT_DATA, bytes(wire.MAX_PACKET_LENGTH))
        with self.assertRaisesRegex(ProtocolError, "expands beyond"):
            receiver.read_packet()


class RsaTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = rsakeys.generate(768)
        cls.host = rsakeys.generate(1024)

    def round_trip(self, server, host, session_key):
        sid = rsakeys.session_id(host, server, os.urandom(8))
        wrapped = rsakeys.wrap_session_key(session_key, sid, server.public(), host.public())
        return rsakeys.unwrap_session_key(wrapped, sid, server, host)

    def test_double_encryption_round_trip_either_way_round(self):
        # A host modulus below the server modulus reverses the layers.
        for first in (0x00, 0x01, 0xFF):
            key = bytes([first]) + os.urandom(31)
            self.assertEqual(self.round_trip(self.server, self.host, key), key)
            self.assertEqual(self.round_trip(self.host, self.server, key), key)

    def test_leading_zero_after_the_session_id_mask(self):
        # The masked key may lose its top bytes as an integer; they must come back.
        sid = rsakeys.session_id(self.host, self.server, bytes(8))
        key = bytes(sid[:2]) + os.urandom(30)
        wrapped = rsakeys.wrap_session_key(key, sid, self.server, self.host)
        self.assertEqual(rsakeys.unwrap_session_key(wrapped, sid, self.server, self.host), key)

    def test_bad_blocks_are_refused(self):
        size = self.host.size
        good = rsakeys.pad_block(b"payload", size)
        self.assertEqual(rsakeys.unpad_block(good), b"payload")
        bad = [b"\x00\x01" + good[2:],                      # wrong block type
               good.replace(b"\x00payload", b"\x01payload"),  # no separator
               b"\x00\x02" + b"\x11" * 4 + b"\x00" + bytes(size - 7)]  # pad too short
        for block in bad:
            with self.assertRaises(wire.ProtocolError):
                rsakeys.unpad_block(block)
        with self.assertRaises(wire.ProtocolError):
            self.host.decrypt_int(self.host.n)
        with self.assertRaises(ValueError):  # keys too close in size for the outer layer
            rsakeys.pad_block(os.urandom(size - 5), size)

    def test_host_key_is_persisted_privately(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "state", "host_key")
            first = rsakeys.load_or_create(path, 1024, lambda _: None)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
            again = rsakeys.load_or_create(path, 2048, lambda _: None)
            self.assertEqual((again.n, again.d), (first.n, first.d))
            with open(path, "w") as handle:
                handle.write('{"n": "0x')
            with self.assertRaisesRegex(ValueError, "damaged"):
                rsakeys.load_or_create(path, 1024, lambda _: None)


class FaultOptionTest(unittest.TestCase):
    def test_parsing(self):
        faults = Faults(["bad-crc=3", "stall=0.5@4", "refuse-pty", "ignore-flood"])
        self.assertEqual(faults.packet_number("bad-crc"), 3)
        self.assertIsNone(faults.packet_number("long-length"))
        self.assertEqual(faults.stall(), (0.5, 4))
        self.assertEqual(faults.number("ignore-flood", 20), 20)
        for bad in (["no-such"], ["refuse-pty=1"], ["bad-crc=x"], ["huge-stdout=300000"],
                    ["stall=soon"]):
            with self.assertRaises(FaultError, msg=bad):
                Faults(bad)


if __name__ == "__main__":
    unittest.main()
