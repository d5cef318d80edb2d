"""Message numbers, the packet check value and the field encodings."""
import struct
import zlib

MSG_DISCONNECT = 1
SMSG_PUBLIC_KEY = 2
CMSG_SESSION_KEY = 3
CMSG_USER = 4
CMSG_AUTH_RHOSTS = 5
CMSG_AUTH_RSA = 6
SMSG_AUTH_RSA_CHALLENGE = 7
CMSG_AUTH_RSA_RESPONSE = 8
CMSG_AUTH_PASSWORD = 9
CMSG_REQUEST_PTY = 10
CMSG_WINDOW_SIZE = 11
CMSG_EXEC_SHELL = 12
CMSG_EXEC_CMD = 13
SMSG_SUCCESS = 14
SMSG_FAILURE = 15
CMSG_STDIN_DATA = 16
SMSG_STDOUT_DATA = 17
SMSG_STDERR_DATA = 18
CMSG_EOF = 19
SMSG_EXITSTATUS = 20
MSG_CHANNEL_OPEN_CONFIRMATION = 21
MSG_CHANNEL_OPEN_FAILURE = 22
MSG_CHANNEL_DATA = 23
MSG_CHANNEL_CLOSE = 24
MSG_CHANNEL_CLOSE_CONFIRMATION = 25
CMSG_PORT_FORWARD_REQUEST = 28
MSG_PORT_OPEN = 29
MSG_IGNORE = 32
CMSG_EXIT_CONFIRMATION = 33
MSG_DEBUG = 36
CMSG_REQUEST_COMPRESSION = 37
CMSG_MAX_PACKET_SIZE = 38

CIPHER_NONE = 0
CIPHER_DES = 2
CIPHER_3DES = 3
CIPHER_BLOWFISH = 6
CIPHER_NAMES = {CIPHER_NONE: "none", CIPHER_DES: "des", CIPHER_3DES: "3des",
                CIPHER_BLOWFISH: "blowfish"}

AUTH_RSA = 2
AUTH_PASSWORD = 3

# Protocol flag: a port-open message carries where the connection came from.
PROTOFLAG_HOST_IN_FWD_OPEN = 2

# Peers allocate whatever length a packet announces; anything beyond this is
# treated as hostile rather than buffered.
MAX_PACKET_LENGTH = 256 * 1024
# Type byte plus check field: a shorter packet cannot be well formed.
MIN_PACKET_LENGTH = 5

_U32 = struct.Struct(">I")


class ProtocolError(Exception):
    """The peer sent something this server will not accept."""


def crc32(data, register=0):
    """Reflected CRC-32 with the register starting at 0 and no final inversion.

    zlib inverts on entry and exit; pre-inverting the register and inverting
    the result cancels both, leaving the plain table-driven register.
    """
    return zlib.crc32(data, register ^ 0xFFFFFFFF) ^ 0xFFFFFFFF


def pad_length(length):
    """Padding in front of the type byte: 1 to 8 bytes, never 0."""
    return 8 - (length % 8)


def uint32(value):
    return _U32.pack(value & 0xFFFFFFFF)


def string(data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    return _U32.pack(len(data)) + data


def mpint(value):
    if value < 0:
        raise ValueError("negative mpint")
    bits = value.bit_length()
    if bits > 0xFFFF:
        raise ValueError("mpint too large")
    return struct.pack(">H", bits) + value.to_bytes((bits + 7) // 8, "big")


class Reader:
    """Bounded parser over one packet's data: every get checks what is left."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def remaining(self):
        return len(self.data) - self.pos

    def take(self, count):
        if count < 0 or count > self.remaining():
            raise ProtocolError("field runs past the end of the packet")
        chunk = self.data[self.pos:self.pos + count]
        self.pos += count
        return chunk

    def byte(self):
        return self.take(1)[0]

    def uint32(self):
        return _U32.unpack(self.take(4))[0]

    def string(self, limit=None):
        length = self.uint32()
        if limit is not None and length > limit:
            raise ProtocolError("string of %d bytes exceeds %d" % (length, limit))
        return self.take(length)

    def mpint(self):
        bits = struct.unpack(">H", self.take(2))[0]
        return int.from_bytes(self.take((bits + 7) // 8), "big")

    def rest(self):
        return self.take(self.remaining())

    def end(self):
        if self.remaining():
            raise ProtocolError("%d unexpected bytes after the last field" % self.remaining())
