"""One client connection, from identification line to exit status."""
import hmac
import os
import re
import threading
import time
import traceback

from . import rsaauth, rsakeys, wire
from .channels import Channels
from .child import STDERR, Child, PtySettings
from .ciphers import make_pair
from .config import VERSION_LINE
from .faults import LARGEST_STDOUT_STRING
from .transport import ConnectionClosed, HoldConnection, Transport
from .wire import ProtocolError

# After a fault has made the stream unusable, how long to wait for the
# client to notice and hang up before closing from this side.
HOLD_SECONDS = 30
# After the exit status, how long the client may take to confirm it.
EXIT_CONFIRM_SECONDS = 5
# Failed authentication attempts before the connection is dropped.
MAX_AUTH_FAILURES = 6
# Field limits: far above any real value, low enough that a hostile client
# cannot make the server hold or pass on arbitrary amounts.
MAX_USER_NAME = 256
MAX_PASSWORD = 1024
MAX_TERM_NAME = 64
# Keystrokes a client sends before its shell runs are kept up to this much.
MAX_EARLY_STDIN = 64 * 1024
# Output per stdout packet; a client's max-packet-size request may lower it.
DEFAULT_DATA_CHUNK = 32 * 1024
MIN_CLIENT_MAX_PACKET = 4096

PROTOCOL_FLAGS = wire.PROTOFLAG_HOST_IN_FWD_OPEN
AUTHS_MASK = (1 << wire.AUTH_RSA) | (1 << wire.AUTH_PASSWORD)
_TERM_NAME = re.compile(rb"[A-Za-z0-9][A-Za-z0-9._+-]*")
_CLIENT_VERSION = re.compile(rb"^SSH-(\d+)\.(\d+)-")
_AUTH_TYPES = {wire.CMSG_AUTH_RHOSTS, wire.CMSG_AUTH_RSA, 35, 39, 42}


class Session:
    def __init__(self, sock, peer, number, config, keys, log):
        self.number = number
        self.peer = peer
        self.config = config
        self.faults = config.faults
        self.keys = keys
        self.log = lambda text: log("[%d] %s" % (number, text))
        self.transport = Transport(sock, config.faults, self.log)
        self.transport.log_packets = config.log_packets
        self.sock = sock
        self.child = None
        self.pty = None
        self.early_stdin = bytearray()
        self.early_eof = False
        self.data_chunk = DEFAULT_DATA_CHUNK
        self.finished = threading.Event()
        self.channels = Channels(self.transport, self.log, config)
        self._grace = threading.Timer(config.login_grace, self._grace_expired)
        self._grace.daemon = True
        self._encrypted = False

    # -- lifecycle ---------------------------------------------------------
    def run(self):
        self.log("connection from %s:%d" % self.peer)
        self._grace.start()
        try:
            self._identify()
            self._key_exchange()
            self._authenticate()
            command = self._prepare()
            self._grace.cancel()
            self._interact(command)
        except HoldConnection as exc:
            self.log("%s; waiting for the client to hang up" % exc)
            self._hold()
        except ProtocolError as exc:
            self.log("protocol error: %s" % exc)
            self._disconnect(str(exc))
        except ConnectionClosed as exc:
            self.log("%s" % exc)
        except Exception:
            self.log("internal error:\n" + traceback.format_exc().rstrip())
            self._disconnect("Internal server error.")
        finally:
            self._grace.cancel()
            self._cleanup()

    def stop(self):
        self.channels.stopping.set()
        self.transport.shutdown()
        if self.child is not None:
            self.child.hangup()

    def _grace_expired(self):
        self.log("login grace time of %g s exceeded" % self.config.login_grace)
        self.transport.shutdown()

    def _cleanup(self):
        self.finished.set()
        self.log("channels left open: %d" % self.channels.close_all())
        if self.child is not None:
            self.child.terminate()
        pump = getattr(self, "_pump_thread", None)
        if pump is not None:
            pump.join(5)
        if self.child is not None:
            self.child.close()
        self.transport.shutdown()
        self.sock.close()
        self.log("closed; %d packets, %d bytes sent" % (self.transport.packets_sent,
                                                        self.transport.bytes_sent))
        if self.transport.compressing:
            self.log("compressed: sent %(sent_plain)d -> %(sent_wire)d bytes, "
                     "received %(received_wire)d -> %(received_plain)d bytes"
                     % self.transport.compressed_counts)

    def _disconnect(self, reason):
        try:
            self.transport.send_packet(wire.MSG_DISCONNECT, wire.string(os.fsencode(reason)))
        except (ConnectionClosed, HoldConnection):
            pass

    def _hold(self):
        deadline = time.monotonic() + HOLD_SECONDS
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                self.sock.settimeout(left)
                if not self.sock.recv(4096):
                    return
        except OSError:
            pass

    def _expect(self, wanted):
        msg_type, reader = self.transport.read_packet()
        while self._encrypted and self._early_message(msg_type, reader):
            msg_type, reader = self.transport.read_packet()
        if msg_type == wire.MSG_DISCONNECT:
            raise ConnectionClosed("client disconnected: %r" % _reason(reader))
        if msg_type != wanted:
            raise ProtocolError("expected message %d, got %d" % (wanted, msg_type))
        return reader

    # -- identification and keys ------------------------------------------
    def _identify(self):
        if "bad-ident" in self.faults:
            line = self.faults.text("bad-ident", "XSH-1.5-broken")
            self.transport.send_raw(os.fsencode(line) + b"\n")
            raise HoldConnection("fault: sent a bad identification line")
        self.transport.send_raw(VERSION_LINE.encode() + b"\n")
        line = self.transport.read_line()
        match = _CLIENT_VERSION.match(line)
        if not match or match.group(1) != b"1" or int(match.group(2)) < 5:
            self.transport.send_raw(b"Protocol major versions differ.\n")
            raise ConnectionClosed("unsupported client identification %r" % line[:80])
        self.log("client is %r" % line.decode("latin-1"))

    def _key_exchange(self):
        server_key, host_key = self.keys.current(), self.keys.host
        cookie = os.urandom(8)
        payload = (cookie + wire.uint32(server_key.bits) + wire.mpint(server_key.e)
                   + wire.mpint(server_key.n) + wire.uint32(host_key.bits)
                   + wire.mpint(host_key.e) + wire.mpint(host_key.n)
                   + wire.uint32(PROTOCOL_FLAGS) + wire.uint32(self.config.ciphers_mask)
                   + wire.uint32(AUTHS_MASK))
        self.transport.send_packet(wire.SMSG_PUBLIC_KEY, payload)
        reader = self._expect(wire.CMSG_SESSION_KEY)
        cipher = reader.byte()
        echoed = reader.take(8)
        wrapped = reader.mpint()
        client_flags = reader.uint32()
        reader.end()
        if not hmac.compare_digest(echoed, cookie):
            raise ProtocolError("session key message does not echo the cookie")
        if cipher not in wire.CIPHER_NAMES or not self.config.ciphers_mask & (1 << cipher):
            raise ProtocolError("cipher type %d is not offered" % cipher)
        sid = rsakeys.session_id(host_key, server_key, cookie)
        self.session_id = sid
        key = rsakeys.unwrap_session_key(wrapped, sid, server_key, host_key)
        self.transport.set_ciphers(*make_pair(cipher, key))
        self._encrypted = True
        self.log("cipher %s, client protocol flags 0x%x" % (wire.CIPHER_NAMES[cipher], client_flags))
        self.channels.host_in_open = bool(PROTOCOL_FLAGS & client_flags & wire.PROTOFLAG_HOST_IN_FWD_OPEN)
        self.transport.send_packet(wire.SMSG_SUCCESS)

    # -- authentication -----------------------------------------------------
    def _authenticate(self):
        user = self._expect(wire.CMSG_USER).string(MAX_USER_NAME)
        self.log("user %r" % user.decode("latin-1"))
        if "disconnect-after-user" in self.faults:
            reason = self.faults.text("disconnect-after-user", "Access denied by test fault.")
            self._disconnect_by_fault(reason)
        if "disconnect-after-user-long" in self.faults:
            length = self.faults.number("disconnect-after-user-long", 600)
            pattern = b"Long disconnect reason 0123456789. "
            self._disconnect_by_fault((pattern * (length // len(pattern) + 1))[:length].decode())
        if "no-password" in self.faults:
            self.transport.send_packet(wire.SMSG_SUCCESS)
            return
        self.transport.send_packet(wire.SMSG_FAILURE)
        failures = 0
        while True:
            msg_type, reader = self.transport.read_packet()
            if msg_type == wire.CMSG_AUTH_PASSWORD:
                # Clients may pad the password with zero bytes to hide its length.
                password = reader.string(MAX_PASSWORD)
                if "refuse-padded-password" not in self.faults:
                    password = password.split(b"\x00", 1)[0]
                if self._password_ok(user, password):
                    self.log("password accepted")
                    self.transport.send_packet(wire.SMSG_SUCCESS)
                    return
                failures += 1
                self.log("password refused (%d)" % failures)
            elif msg_type == wire.MSG_DISCONNECT:
                raise ConnectionClosed("client disconnected: %r" % _reason(reader))
            elif self._early_message(msg_type, reader):
                continue
            elif msg_type == wire.CMSG_AUTH_RSA and self.config.authorized_keys:
                if self._rsa_login(user, reader.mpint()):
                    self.transport.send_packet(wire.SMSG_SUCCESS)
                    return
                failures += 1
            elif msg_type in _AUTH_TYPES:
                failures += 1
                self.log("authentication method %d refused" % msg_type)
            else:
                self.log("message %d refused during authentication" % msg_type)
            if failures >= MAX_AUTH_FAILURES:
                raise ProtocolError("Too many authentication failures.")
            self.transport.send_packet(wire.SMSG_FAILURE)

    def _rsa_login(self, user, modulus):
        """One RSA attempt: False when the key is unknown or the answer wrong."""
        entry = rsaauth.find(rsaauth.load(self.config.authorized_keys, self.log), modulus)
        if entry is None or not hmac.compare_digest(user, os.fsencode(self.config.user)):
            self.log("RSA key refused (%d bits, not authorized)" % modulus.bit_length())
            return False
        challenge, encrypted = rsaauth.make_challenge(entry.key)
        self.transport.send_packet(wire.SMSG_AUTH_RSA_CHALLENGE, wire.mpint(encrypted))
        reader = self._expect(wire.CMSG_AUTH_RSA_RESPONSE)
        response = reader.take(rsaauth.RESPONSE_BYTES)
        reader.end()
        if not rsaauth.response_ok(challenge, self.session_id, response):
            self.log("RSA response wrong for the key of line %d" % entry.line_number)
            return False
        self.log("RSA key accepted (line %d, %r)" % (entry.line_number, entry.comment[:80]))
        return True

    def _password_ok(self, user, password):
        if "refuse-password" in self.faults:
            return False
        # Compare bytes as typed on the command line, whatever their encoding.
        user_ok = hmac.compare_digest(user, os.fsencode(self.config.user))
        password_ok = hmac.compare_digest(password, os.fsencode(self.config.password))
        return user_ok and password_ok

    def _disconnect_by_fault(self, reason):
        self.log("fault: disconnecting after the user name (%d-byte reason)" % len(reason))
        self._disconnect(reason)
        raise ConnectionClosed("disconnected by fault")

    def _early_message(self, msg_type, reader):
        """Input that may arrive before the shell runs and needs no answer."""
        if msg_type == wire.CMSG_STDIN_DATA:
            data = reader.string()
            room = MAX_EARLY_STDIN - len(self.early_stdin)
            if len(data) > room:
                self.log("dropping %d bytes of input sent before the shell" % (len(data) - room))
            self.early_stdin += data[:max(room, 0)]
            return True
        if msg_type == wire.CMSG_WINDOW_SIZE:
            size = tuple(reader.uint32() for _ in range(4))
            if self.pty is not None:
                self.pty.size = size
            return True
        return False

    # -- preparation ----------------------------------------------------------
    def _prepare(self):
        """Answer requests until the shell or a command starts; return the command's bytes."""
        while True:
            msg_type, reader = self.transport.read_packet()
            if msg_type == wire.CMSG_EXEC_SHELL:
                return None
            if msg_type == wire.CMSG_EXEC_CMD:
                command = reader.string()
                if b"\x00" in command:
                    raise ProtocolError("command contains a zero byte")
                return command
            if msg_type == wire.MSG_DISCONNECT:
                raise ConnectionClosed("client disconnected: %r" % _reason(reader))
            if self._early_message(msg_type, reader):
                continue
            if msg_type == wire.CMSG_EOF:
                self.early_eof = True
                continue
            ok = False
            if msg_type == wire.CMSG_REQUEST_PTY:
                ok = self._pty_request(reader)
            elif msg_type == wire.CMSG_REQUEST_COMPRESSION:
                level = reader.uint32()
                if self.config.compression and 1 <= level <= 9 and not self.transport.compressing:
                    self.log("compression at level %d" % level)
                    self.transport.send_packet(wire.SMSG_SUCCESS)
                    self.transport.start_compression(level)
                    continue
                self.log("compression at level %d refused" % level)
            elif msg_type == wire.CMSG_MAX_PACKET_SIZE:
                size = reader.uint32()
                ok = MIN_CLIENT_MAX_PACKET <= size <= wire.MAX_PACKET_LENGTH
                if ok:
                    self.data_chunk = min(DEFAULT_DATA_CHUNK, size - 64)
                    self.channels.chunk = min(self.channels.chunk, self.data_chunk)
            elif msg_type == wire.CMSG_PORT_FORWARD_REQUEST:
                ok = self.channels.request_forward(reader)
            else:
                self.log("request %d refused" % msg_type)
            self.transport.send_packet(wire.SMSG_SUCCESS if ok else wire.SMSG_FAILURE)

    def _pty_request(self, reader):
        term = reader.string(MAX_TERM_NAME)
        size = tuple(reader.uint32() for _ in range(4))
        reader.rest()  # terminal modes: the pty's defaults are kept
        if not _TERM_NAME.fullmatch(term):
            raise ProtocolError("terminal type %r is malformed" % term[:MAX_TERM_NAME])
        if "refuse-pty" in self.faults:
            self.log("fault: refusing the pty request")
            return False
        if self.pty is not None:
            return False
        self.pty = PtySettings(term.decode("ascii"), *size)
        self.log("pty %s, %d rows x %d columns" % (self.pty.term, size[0], size[1]))
        return True

    # -- interactive session ----------------------------------------------------
    def _interact(self, command):
        self.child = Child(self.config.shell, command, self.pty)
        self.log("started %s (pid %d)%s" % (
            "shell" if command is None else "command %r" % command[:80].decode("latin-1"),
            self.child.pid, " on a pty" if self.pty else ""))
        if "empty-stdout" in self.faults:
            self.transport.send_packet(wire.SMSG_STDOUT_DATA, wire.string(b""))
        if "huge-stdout" in self.faults:
            length = self.faults.number("huge-stdout", LARGEST_STDOUT_STRING)
            pattern = b"0123456789abcdefghijklmnopqrstuvwxyz\r\n"
            data = (pattern * (length // len(pattern) + 1))[:length]
            self.transport.send_packet(wire.SMSG_STDOUT_DATA, wire.string(data))
        self._pump_thread = threading.Thread(target=self._pump, daemon=True,
                                             name="ssh1d-pump-%d" % self.number)
        self._pump_thread.start()
        if self.early_stdin:
            self.child.write_stdin(bytes(self.early_stdin))
        if self.early_eof:
            self.child.close_stdin()
        self.channels.start_listeners()
        if "unasked-port-open" in self.faults:
            self.channels.offer_unasked(self.faults.text("unasked-port-open", "127.0.0.1:22"))
        while True:
            msg_type, reader = self.transport.read_packet()
            if msg_type == wire.CMSG_STDIN_DATA:
                self.child.write_stdin(reader.string())
            elif msg_type == wire.CMSG_WINDOW_SIZE:
                self.child.resize(*(reader.uint32() for _ in range(4)))
            elif msg_type == wire.CMSG_EOF:
                self.child.close_stdin()
            elif msg_type == wire.CMSG_EXIT_CONFIRMATION:
                self.log("exit confirmed")
                return
            elif msg_type == wire.MSG_DISCONNECT:
                self.log("client disconnected: %r" % _reason(reader))
                return
            elif self.channels.handle(msg_type, reader):
                pass
            else:
                self.log("message %d ignored in the interactive session" % msg_type)

    def _pump(self):
        chunk = self.data_chunk
        if self.pty is not None and self.config.pty_packet_data:
            chunk = min(chunk, self.config.pty_packet_data)
        if "one-byte-packets" in self.faults:
            chunk = 1

        def emit(kind, data):
            msg_type = wire.SMSG_STDERR_DATA if kind == STDERR else wire.SMSG_STDOUT_DATA
            self.transport.send_packets(msg_type, [wire.string(data[start:start + chunk])
                                                   for start in range(0, len(data), chunk)])

        try:
            status = self.child.pump(emit)
            if status < 0:
                # The protocol has no exit status for a signal: the server
                # says why in its disconnect instead.
                reason = "Command terminated on signal %d." % -status
                self.log("killed by signal %d; disconnecting" % -status)
                self.transport.send_packet(wire.MSG_DISCONNECT, wire.string(reason))
                self.transport.shutdown()
                return
            self.log("exit status %d" % status)
            self.transport.send_packet(wire.SMSG_EXITSTATUS, wire.uint32(status))
        except ConnectionClosed:
            return
        except HoldConnection as exc:
            self.log("%s; waiting for the client to hang up" % exc)
            if not self.finished.wait(HOLD_SECONDS):
                self.transport.shutdown()
            return
        except OSError as exc:
            self.log("output stopped: %s" % exc)
        if not self.finished.wait(EXIT_CONFIRM_SECONDS):
            self.log("no exit confirmation; closing")
            self.transport.shutdown()


def _reason(reader):
    try:
        return reader.string()[:200].decode("latin-1")
    except ProtocolError:
        return ""
