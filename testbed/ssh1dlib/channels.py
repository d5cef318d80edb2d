"""Port forwarding: one session's channels and the ports it listens on for its client.

Threads rather than a select loop. Each open channel has a reader that turns
socket input into data messages; its sends block while the client is slow,
which is all the flow control protocol 1 has. A writer empties a bounded
queue into the socket; when a target stops reading, its queue fills and the
session's packet reader waits on it, so a stalled target slows the whole
session, as it would in the client.

A channel is freed once both sides have said "no more input" (close) and
"my output is shut" (close confirmation), in whichever order they came.
"""
import collections
import socket
import threading

from . import wire
from .transport import ConnectionClosed, HoldConnection
from .wire import ProtocolError

# Open channels per session, opening ones included; each holds a socket and
# two threads, and a client could otherwise ask for them without end.
MAX_CHANNELS = 256
# Longest host name a peer may send (the DNS limit); the originator text of a
# port-open message gets the same room.
MAX_HOST_NAME = 255
# Ports one session may have ssh1d listen on for it: each is a socket and a
# thread held until the session ends.
MAX_FORWARDS = 16
# Bytes from the client waiting for a slow target before the session stops
# reading packets; without it a stalled target would buffer without bound.
MAX_QUEUED = 1 << 20
# Socket input per data message, lowered further by the client's packet size.
READ_CHUNK = 16 * 1024
# A target that does not answer fails the open instead of holding a channel.
CONNECT_SECONDS = 10
# Binding lower ports needs privileges a test server should not use for clients.
FIRST_UNPRIVILEGED_PORT = 1024
# How often a session reader waiting on a full queue checks for the session's end.
QUEUE_WAIT_SECONDS = 1.0

_SESSION_ERRORS = (ConnectionClosed, HoldConnection, OSError)


def _reason(exc):
    return getattr(exc, "strerror", None) or str(exc) or exc.__class__.__name__


def _shut(sock, how):
    try:
        sock.shutdown(how)
    except OSError:
        pass


class Channel:
    """One forwarded connection; its state flags change under the table's lock."""

    def __init__(self, table, number, target):
        self.table = table
        self.number = number
        self.target = target  # "host:port", for the log
        self.sock = None
        self.remote = None
        self.state = "connecting"  # or "offered" (waiting for the client), "open"
        self.sent_close = self.got_close = self.sent_confirm = self.got_confirm = False
        self.bytes_in = self.bytes_out = 0  # from the client / to the client
        self._queue = collections.deque()
        self._queued = 0
        self._eof = False
        self._broken = False
        self._cond = threading.Condition()

    def done(self):
        return self.sent_close and self.got_close and self.sent_confirm and self.got_confirm

    def start(self, confirmation=None):
        """Open for data both ways. The state changes before the confirmation
        goes out, as the client may send data the moment it has read it; and
        no data of ours may go before it."""
        self.state = "open"
        self.table.log("channel %d open to %s" % (self.number, self.target))
        self._thread(self._write_loop, "writer")
        if confirmation is None or self.table.send(wire.MSG_CHANNEL_OPEN_CONFIRMATION, confirmation):
            self._thread(self._read_loop, "reader")

    def _thread(self, loop, kind):
        threading.Thread(target=loop, daemon=True, name="ssh1d-channel-%d-%s" % (self.number, kind)).start()

    # -- towards the socket --------------------------------------------------
    def write(self, data):
        """Queue client data; blocks while the queue is over its bound."""
        with self._cond:
            while self._queued >= MAX_QUEUED and not self.table.stopping.is_set():
                self._cond.wait(QUEUE_WAIT_SECONDS)
            self._queue.append(data)
            self._queued += len(data)
            self._cond.notify_all()

    def write_eof(self):
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def _write_loop(self):
        while True:
            with self._cond:
                while not self._queue and not self._eof:
                    self._cond.wait()
                if not self._queue:
                    break
                data = self._queue.popleft()
            if not self._broken:
                try:
                    self.sock.sendall(data)
                except OSError:
                    # The target is gone: what the client still sends is
                    # dropped, and our side of the channel closes too.
                    self._broken = True
                    _shut(self.sock, socket.SHUT_RD)
            with self._cond:
                self._queued -= len(data)
                self._cond.notify_all()
        _shut(self.sock, socket.SHUT_WR)
        if self.table.send(wire.MSG_CHANNEL_CLOSE_CONFIRMATION, wire.uint32(self.remote)):
            self.table.mark(self, "sent_confirm")

    # -- towards the client --------------------------------------------------
    def _read_loop(self):
        chunk = self.table.chunk
        while not self.got_confirm:
            try:
                data = self.sock.recv(chunk)
            except OSError:
                data = b""
            if not data or self.got_confirm:
                break
            self.bytes_out += len(data)
            if not self.table.send(wire.MSG_CHANNEL_DATA, wire.uint32(self.remote) + wire.string(data)):
                return
        if self.table.send(wire.MSG_CHANNEL_CLOSE, wire.uint32(self.remote)):
            self.table.mark(self, "sent_close")


class Channels:
    """The channels and forwarded ports of one session."""

    def __init__(self, transport, log, config):
        self.transport = transport
        self.log = log
        self.config = config
        self.host_in_open = False  # both sides set the flag: port opens name their origin
        self.chunk = READ_CHUNK
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.channels = {}
        self.listeners = []  # (socket, host, port) of granted forward requests

    def send(self, msg_type, payload):
        """False once the session is ending or can no longer send."""
        # Closing the sockets at the end wakes every channel thread; none of
        # them may then tell a client that has already gone, or confirmed the
        # exit, about channels it no longer has.
        if self.stopping.is_set():
            return False
        try:
            self.transport.send_packet(msg_type, payload)
            return True
        except _SESSION_ERRORS:
            return False

    def _add(self, target):
        """A new channel under the lowest free number; the lock is held."""
        number = next(n for n in range(len(self.channels) + 1) if n not in self.channels)
        channel = Channel(self, number, target)
        self.channels[number] = channel
        return channel

    def mark(self, channel, flag):
        with self.lock:
            setattr(channel, flag, True)
            freed = channel.done() and self.channels.get(channel.number) is channel
            if freed:
                del self.channels[channel.number]
        if freed:
            channel.sock.close()
            self.log("channel %d closed, %d bytes in, %d bytes out"
                     % (channel.number, channel.bytes_in, channel.bytes_out))

    # -- the client's messages -------------------------------------------------
    def handle(self, msg_type, reader):
        """Act on a channel message; False when msg_type is none of them."""
        if msg_type == wire.MSG_PORT_OPEN:
            self._port_open(reader)
            return True
        if not wire.MSG_CHANNEL_OPEN_CONFIRMATION <= msg_type <= wire.MSG_CHANNEL_CLOSE_CONFIRMATION:
            return False
        number = reader.uint32()
        with self.lock:
            channel = self.channels.get(number)
        if channel is None:
            raise ProtocolError("message %d for unknown channel %d" % (msg_type, number))
        wanted = "offered" if msg_type <= wire.MSG_CHANNEL_OPEN_FAILURE else "open"
        if channel.state != wanted:
            raise ProtocolError("message %d for channel %d, which is not %s" % (msg_type, number, wanted))
        if msg_type == wire.MSG_CHANNEL_OPEN_CONFIRMATION:
            channel.remote = reader.uint32()
            reader.end()
            channel.start()
        elif msg_type == wire.MSG_CHANNEL_OPEN_FAILURE:
            reader.end()
            self._refused(channel)
        elif msg_type == wire.MSG_CHANNEL_DATA:
            self._data(channel, reader.string())
            reader.end()
        else:
            reader.end()
            self._closing(channel, msg_type)
        return True

    def _data(self, channel, data):
        if channel.got_close:
            return  # a late packet of a channel being closed
        channel.bytes_in += len(data)
        channel.write(data)

    def _closing(self, channel, msg_type):
        flag = "got_close" if msg_type == wire.MSG_CHANNEL_CLOSE else "got_confirm"
        if getattr(channel, flag):
            raise ProtocolError("message %d repeated for channel %d" % (msg_type, channel.number))
        if msg_type == wire.MSG_CHANNEL_CLOSE:
            channel.got_close = True
            channel.write_eof()
            return
        # The client's output is shut: stop reading, so that the reader sends our close.
        _shut(channel.sock, socket.SHUT_RD)
        self.mark(channel, flag)

    def _refused(self, channel):
        with self.lock:
            self.channels.pop(channel.number, None)
        channel.sock.close()
        self.log("client refused channel %d to %s" % (channel.number, channel.target))

    def _port_open(self, reader):
        remote = reader.uint32()
        host = reader.string(MAX_HOST_NAME).decode("latin-1")
        port = reader.uint32()
        if self.host_in_open:
            reader.string(MAX_HOST_NAME)
        reader.end()
        target = "%s:%d" % (host, port)
        refusal, channel = None, None
        with self.lock:
            if not self.config.forwarding:
                refusal = "forwarding is disabled"
            elif not 0 < port < 65536:
                refusal = "port out of range"
            elif len(self.channels) >= MAX_CHANNELS:
                refusal = "%d channels open already" % MAX_CHANNELS
            elif self.stopping.is_set():
                refusal = "session ending"
            else:
                channel = self._add(target)
                channel.remote = remote
        if refusal is not None:
            self.log("cannot open channel to %s: %s" % (target, refusal))
            self.send(wire.MSG_CHANNEL_OPEN_FAILURE, wire.uint32(remote))
            return
        threading.Thread(target=self._connect, args=(channel, host, port), daemon=True,
                         name="ssh1d-connect-%d" % channel.number).start()

    def _connect(self, channel, host, port):
        try:
            sock = socket.create_connection((host, port), timeout=CONNECT_SECONDS)
            sock.settimeout(None)
        except (OSError, ValueError, UnicodeError) as exc:
            self.log("cannot open channel to %s: %s" % (channel.target, _reason(exc)))
            with self.lock:
                self.channels.pop(channel.number, None)
            self.send(wire.MSG_CHANNEL_OPEN_FAILURE, wire.uint32(channel.remote))
            return
        with self.lock:
            ending = self.stopping.is_set()
            channel.sock = sock
        if ending:
            sock.close()
            return
        channel.start(wire.uint32(channel.remote) + wire.uint32(channel.number))

    # -- forwarded ports ---------------------------------------------------------
    def request_forward(self, reader):
        """Grant or refuse one forward request; True when the port is ours."""
        port = reader.uint32()
        host = reader.string(MAX_HOST_NAME).decode("latin-1")
        host_port = reader.uint32()
        reader.end()
        refusal = None
        if not self.config.forwarding:
            refusal = "forwarding is disabled"
        elif not FIRST_UNPRIVILEGED_PORT <= port < 65536:
            refusal = "port is privileged or out of range"
        elif len(self.listeners) >= MAX_FORWARDS:
            refusal = "%d ports forwarded already" % MAX_FORWARDS
        else:
            try:
                listener = socket.create_server((self.config.listen, port))
            except OSError as exc:
                refusal = _reason(exc)
        if refusal is not None:
            self.log("cannot forward port %d to %s:%d: %s" % (port, host, host_port, refusal))
            return False
        self.log("forwarding port %d to %s:%d" % (port, host, host_port))
        self.listeners.append((listener, host, host_port))
        return True

    def start_listeners(self):
        """Connections waiting since the request are offered once channels may open."""
        for listener, host, port in self.listeners:
            threading.Thread(target=self._accept_loop, args=(listener, host, port), daemon=True,
                             name="ssh1d-forward-%d" % listener.getsockname()[1]).start()

    def _accept_loop(self, listener, host, port):
        while True:
            try:
                sock, peer = listener.accept()
            except OSError:
                return
            self._offer(sock, peer, host, port)

    def _offer(self, sock, peer, host, port):
        target = "%s:%d" % (host, port)
        with self.lock:
            full = len(self.channels) >= MAX_CHANNELS or self.stopping.is_set()
            if not full:
                channel = self._add(target)
                channel.state = "offered"
                channel.sock = sock
        if full:
            self.log("turning away a connection to %s: %d channels open" % (target, MAX_CHANNELS))
            sock.close()
            return
        payload = wire.uint32(channel.number) + wire.string(host) + wire.uint32(port)
        if self.host_in_open:
            payload += wire.string("%s port %d" % peer[:2])
        self.send(wire.MSG_PORT_OPEN, payload)

    def offer_unasked(self, target):
        """A port open the client never requested (a fault): what a hostile
        server would send to reach the client's network."""
        host, _, port = target.rpartition(":")
        ours, _theirs = socket.socketpair()
        self._offer(ours, ("0.0.0.0", 0), host, int(port))

    # -- the end of the session ------------------------------------------------
    def close_all(self):
        """Close every channel and forwarded port; the number of channels still open."""
        self.stopping.set()
        with self.lock:
            left = list(self.channels.values())
            self.channels.clear()
            listeners, self.listeners = self.listeners, []
        for listener, _, _ in listeners:
            _shut(listener, socket.SHUT_RDWR)  # wakes its accept
            listener.close()
        for channel in left:
            if channel.sock is not None:
                _shut(channel.sock, socket.SHUT_RDWR)
                channel.sock.close()
            channel.write_eof()
        return len(left)
