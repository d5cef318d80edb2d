"""Binary packets over one TCP connection, with the send-side faults."""
import os
import socket
import threading
import time
import zlib

from . import wire
from .ciphers import NoCipher
from .faults import OVERSIZED_LENGTH
from .wire import ProtocolError

# The identification line of a genuine peer is short; reading more would let
# a client hold a growing buffer before it has proved anything.
MAX_IDENT_LINE = 255
RECV_CHUNK = 256 * 1024
# The insertion-attack fault splices this many copies of one known
# ciphertext block into its packet, as the CRC compensation needs several.
INSERTED_COPIES = 4


class ConnectionClosed(Exception):
    """The peer closed the connection (or it failed)."""


class HoldConnection(Exception):
    """A fault left the stream unusable; keep it open until the peer gives up."""


class Transport:
    def __init__(self, sock, faults=None, log=None):
        self.sock = sock
        self.faults = faults
        self.log = log or (lambda text: None)
        self._buf = bytearray()
        self._decrypt = NoCipher()
        self._encrypt = NoCipher()
        self._send_lock = threading.Lock()
        self.packets_sent = 0
        self.packets_ignored = 0
        self.bytes_sent = 0
        self.closed = False
        # Log every received packet's type and length field (what an
        # eavesdropper sees of it), IGNORE and DEBUG included.
        self.log_packets = False
        # First ciphertext block of the last encrypted packet sent: what an
        # eavesdropper would copy into a later packet.
        self._seen_block = None
        self._deflate = None
        self._inflate = None
        # Type and data bytes before and after compression, both ways.
        self.compressed_counts = {"sent_plain": 0, "sent_wire": 0, "received_plain": 0, "received_wire": 0}

    @property
    def compressing(self):
        return self._deflate is not None

    def start_compression(self, level):
        """Both directions from the next packet on: one stream each for the rest of the session."""
        with self._send_lock:
            self._deflate = zlib.compressobj(level)
            self._inflate = zlib.decompressobj()

    def _expand(self, data):
        # One byte past the limit tells "too large" from "exactly the limit":
        # zlib may hold output back once the room is full.
        plain = self._inflate.decompress(data, wire.MAX_PACKET_LENGTH + 1)
        if len(plain) > wire.MAX_PACKET_LENGTH:
            raise ProtocolError("compressed packet expands beyond %d bytes" % wire.MAX_PACKET_LENGTH)
        if not plain:
            raise ProtocolError("compressed packet holds no message")
        self.compressed_counts["received_plain"] += len(plain)
        self.compressed_counts["received_wire"] += len(data)
        return plain

    # -- receiving -------------------------------------------------------
    def _fill(self, count):
        while len(self._buf) < count:
            try:
                chunk = self.sock.recv(RECV_CHUNK)
            except socket.timeout:
                raise ConnectionClosed("timed out waiting for the client") from None
            except OSError as exc:
                raise ConnectionClosed(str(exc)) from None
            if not chunk:
                raise ConnectionClosed("connection closed by the client")
            self._buf += chunk

    def read_exact(self, count):
        self._fill(count)
        data = bytes(self._buf[:count])
        del self._buf[:count]
        return data

    def read_line(self):
        """One identification line without its line end."""
        while True:
            end = self._buf.find(b"\n")
            if end >= 0:
                break
            if len(self._buf) > MAX_IDENT_LINE:
                raise ProtocolError("identification line longer than %d bytes" % MAX_IDENT_LINE)
            self._fill(len(self._buf) + 1)
        if end > MAX_IDENT_LINE:
            raise ProtocolError("identification line longer than %d bytes" % MAX_IDENT_LINE)
        line = bytes(self._buf[:end])
        del self._buf[:end + 1]
        return line.rstrip(b"\r")

    def read_packet(self):
        """(type, Reader) of the next packet that is not IGNORE or DEBUG."""
        while True:
            length = int.from_bytes(self.read_exact(4), "big")
            if length > wire.MAX_PACKET_LENGTH:
                raise ProtocolError("packet length %d exceeds %d" % (length, wire.MAX_PACKET_LENGTH))
            if length < wire.MIN_PACKET_LENGTH:
                raise ProtocolError("packet length %d is too short" % length)
            padding = wire.pad_length(length)
            body = self._decrypt.process(self.read_exact(padding + length))
            check = int.from_bytes(body[-4:], "big")
            if wire.crc32(body[:-4]) != check:
                raise ProtocolError("packet check value does not match")
            message = body[padding:-4]
            if self._inflate is not None:
                try:
                    message = self._expand(message)
                except zlib.error as exc:
                    raise ProtocolError("compressed packet is corrupt: %s" % exc) from None
            msg_type = message[0]
            if self.log_packets:
                self.log("received type %d length %d at %.3f" % (msg_type, length, time.monotonic()))
            if msg_type == wire.MSG_IGNORE and self.faults is not None and "disconnect-on-ignore" in self.faults:
                raise ProtocolError("ignore messages are not supported")
            if msg_type in (wire.MSG_IGNORE, wire.MSG_DEBUG):
                self.packets_ignored += 1
                continue
            return msg_type, wire.Reader(message[1:])

    # -- sending ---------------------------------------------------------
    def set_ciphers(self, decryptor, encryptor):
        with self._send_lock:
            self._decrypt, self._encrypt = decryptor, encryptor

    def send_raw(self, data):
        try:
            self.sock.sendall(data)
        except OSError as exc:
            raise ConnectionClosed(str(exc)) from None
        self.bytes_sent += len(data)

    def frame(self, msg_type, payload, corrupt_crc=False):
        message = bytes([msg_type]) + payload
        if self._deflate is not None:
            packed = self._deflate.compress(message) + self._deflate.flush(zlib.Z_PARTIAL_FLUSH)
            self.compressed_counts["sent_plain"] += len(message)
            self.compressed_counts["sent_wire"] += len(packed)
            message = packed
        length = len(message) + 4
        body = bytearray(os.urandom(wire.pad_length(length)))
        body += message
        check = wire.crc32(body)
        if corrupt_crc:
            check ^= 0x00010000
        body += check.to_bytes(4, "big")
        return length, self._encrypt.process(body)

    def send_packets(self, msg_type, payloads):
        """Several packets in one write, as a server's output buffer sends
        them; packet by packet while faults are active."""
        if self.faults is not None and self.faults.active:
            for payload in payloads:
                self.send_packet(msg_type, payload)
            return
        with self._send_lock:
            if self.closed:
                raise ConnectionClosed("connection already closed")
            data = bytearray()
            for payload in payloads:
                self.packets_sent += 1
                length, body = self.frame(msg_type, payload)
                data += length.to_bytes(4, "big") + body
            self.send_raw(data)

    def send_packet(self, msg_type, payload=b""):
        with self._send_lock:
            if self.closed:
                raise ConnectionClosed("connection already closed")
            self.packets_sent += 1
            if self.faults is not None:
                self._before_packet()
            number = self.packets_sent
            if self._fault_at("insertion-attack", number):
                self.log("fault: splicing copied ciphertext blocks in before packet %d" % number)
                length, body = self.spliced_frame()
                self.send_raw(length.to_bytes(4, "big") + body)
            corrupt = self._fault_at("bad-crc", number)
            length, body = self.frame(msg_type, payload, corrupt)
            if corrupt:
                self.log("fault: corrupting the check field of packet %d" % number)
            if self._fault_at("huge-length", number):
                self.log("fault: announcing packet %d as oversized" % number)
                self.send_raw(OVERSIZED_LENGTH.to_bytes(4, "big"))
                self.closed = True
                raise HoldConnection("oversized length announced")
            if self._fault_at("long-length", number):
                self.log("fault: announcing packet %d 16 bytes too long" % number)
                length += 16
            data = length.to_bytes(4, "big") + body
            if not isinstance(self._encrypt, NoCipher):
                self._seen_block = body[:8]
            if self._fault_at("close-mid-packet", number):
                self.log("fault: closing in the middle of packet %d" % number)
                self.send_raw(data[:len(data) // 2])
                self.closed = True
                self.shutdown()
                raise ConnectionClosed("closed mid-packet by fault")
            self.send_raw(data)

    def spliced_frame(self):
        """A stdout packet built as the CRC-32 compensation attack builds one:
        copies of an earlier ciphertext block in the middle, a check field
        that still matches. The encryptor's chains stay in step, so the
        session can go on for a client that does not notice."""
        data_len = 8 * (INSERTED_COPIES + 2) + 3  # puts the copies on block boundaries
        length = data_len + 9
        text = b"\r\n<<" + b"~" * (data_len - 8) + b">>\r\n"
        body = bytearray(os.urandom(wire.pad_length(length)))
        body += bytes([wire.SMSG_STDOUT_DATA]) + wire.uint32(data_len) + text + bytes(4)
        blocks = len(body) // 8
        out = bytearray()
        for index in range(blocks):
            if 2 <= index < 2 + INSERTED_COPIES:
                known = self._seen_block or out[:8]
                body[8 * index:8 * index + 8] = self._encrypt.plaintext_for(known)
            if index == blocks - 1:
                body[-4:] = wire.crc32(bytes(body[:-4])).to_bytes(4, "big")
            out += self._encrypt.process(bytes(body[8 * index:8 * index + 8]))
        return length, bytes(out)

    def _fault_at(self, name, number):
        return self.faults is not None and self.faults.packet_number(name) == number

    def _before_packet(self):
        stall = self.faults.stall()
        if stall and stall[1] == self.packets_sent:
            self.log("fault: stalling %.1f s before packet %d" % stall)
            time.sleep(stall[0])
        for i in range(self.faults.number("ignore-flood", 0)):
            if i % 2:
                payload = wire.string("ssh1d debug flood %d" % i)
                msg_type = wire.MSG_DEBUG
            else:
                payload = wire.string(os.urandom(i % 64))
                msg_type = wire.MSG_IGNORE
            length, body = self.frame(msg_type, payload)
            self.send_raw(length.to_bytes(4, "big") + body)

    def shutdown(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
