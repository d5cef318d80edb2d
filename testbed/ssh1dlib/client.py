"""A small protocol 1.5 client for driving ssh1d from tests and measurements."""
import hashlib
import os
import socket

from . import rsakeys, wire
from .ciphers import make_pair
from .transport import Transport


class ClientError(Exception):
    pass


class Client:
    def __init__(self, host, port, timeout=20.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.transport = Transport(self.sock)
        self.server_line = None

    def close(self):
        self.transport.shutdown()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def identify(self, line=b"SSH-1.5-ssh1d-testclient\n"):
        self.server_line = self.transport.read_line()
        self.transport.send_raw(line)

    def read_public_keys(self):
        msg_type, reader = self.transport.read_packet()
        if msg_type != wire.SMSG_PUBLIC_KEY:
            raise ClientError("expected the public key, got %d" % msg_type)
        cookie = reader.take(8)
        keys = []
        for _ in range(2):
            reader.uint32()
            e = reader.mpint()
            keys.append(rsakeys.RsaKey(reader.mpint(), e))
        reader.uint32()  # protocol flags
        ciphers = reader.uint32()
        return cookie, keys[0], keys[1], ciphers

    def key_exchange(self, cipher=wire.CIPHER_3DES, session_key=None, flags=0):
        cookie, server_key, host_key, self.ciphers_mask = self.read_public_keys()
        self.host_key = host_key
        session_key = session_key or os.urandom(32)
        sid = rsakeys.session_id(host_key, server_key, cookie)
        self.session_id = sid
        wrapped = rsakeys.wrap_session_key(session_key, sid, server_key, host_key)
        self.send(wire.CMSG_SESSION_KEY, bytes([cipher]) + cookie + wire.mpint(wrapped)
                  + wire.uint32(flags))
        self.transport.set_ciphers(*make_pair(cipher, session_key))
        return self.read()[0]

    def send(self, msg_type, payload=b""):
        self.transport.send_packet(msg_type, payload)

    def read(self):
        return self.transport.read_packet()

    def login(self, user, password):
        self.send(wire.CMSG_USER, wire.string(user))
        msg_type, reader = self.read()
        if msg_type != wire.SMSG_FAILURE:
            return msg_type, reader
        self.send(wire.CMSG_AUTH_PASSWORD, wire.string(password))
        return self.read()

    def rsa_attempt(self, key, answer=None):
        """Offer key; answer its challenge (or send `answer`). The server's last reply type."""
        self.send(wire.CMSG_AUTH_RSA, wire.mpint(key.n))
        msg_type, reader = self.read()
        if msg_type != wire.SMSG_AUTH_RSA_CHALLENGE:
            return msg_type
        challenge = rsakeys.private_decrypt(key, reader.mpint()).to_bytes(32, "big")
        if answer is None:
            answer = hashlib.md5(challenge + self.session_id).digest()
        self.send(wire.CMSG_AUTH_RSA_RESPONSE, answer)
        return self.read()[0]

    def request_pty(self, term="vt100", rows=24, cols=80):
        self.send(wire.CMSG_REQUEST_PTY, wire.string(term) + wire.uint32(rows) + wire.uint32(cols)
                  + wire.uint32(0) + wire.uint32(0) + b"\x00")
        return self.read()[0]

    def connect(self, user, password, cipher=wire.CIPHER_3DES, flags=0):
        """Identification, key exchange and login; raises unless all succeed."""
        self.identify()
        if self.key_exchange(cipher, flags=flags) != wire.SMSG_SUCCESS:
            raise ClientError("session key not confirmed")
        msg_type, _ = self.login(user, password)
        if msg_type != wire.SMSG_SUCCESS:
            raise ClientError("login refused (%d)" % msg_type)

    def run(self, command=None, stdin=b"", sink=None):
        """Start a shell or command; return (stdout, stderr, exit status).

        With `sink`, stdout data goes to sink(bytes) instead of being kept.
        """
        if command is None:
            self.send(wire.CMSG_EXEC_SHELL)
        else:
            self.send(wire.CMSG_EXEC_CMD, wire.string(command))
        if stdin:
            self.send(wire.CMSG_STDIN_DATA, wire.string(stdin))
        if command is not None:
            self.send(wire.CMSG_EOF)
        out, err = [], []
        while True:
            msg_type, reader = self.read()
            if msg_type == wire.SMSG_STDOUT_DATA:
                data = reader.string()
                sink(data) if sink else out.append(data)
            elif msg_type == wire.SMSG_STDERR_DATA:
                err.append(reader.string())
            elif msg_type == wire.SMSG_EXITSTATUS:
                status = reader.uint32()
                self.send(wire.CMSG_EXIT_CONFIRMATION)
                return b"".join(out), b"".join(err), status
            elif msg_type == wire.MSG_DISCONNECT:
                raise ClientError("disconnected: %r" % reader.string())
