"""The listener: keys, accepting connections, stopping cleanly."""
import os
import selectors
import signal
import socket
import sys
import threading
import time

from . import rsakeys
from .session import Session

_log_lock = threading.Lock()


def log(text):
    with _log_lock:
        sys.stderr.write("ssh1d: %s\n" % text)
        sys.stderr.flush()


class ServerKeys:
    """The persistent host key and the short-lived server key."""

    def __init__(self, host, server_bits, regen):
        self.host = host
        self.server_bits = server_bits
        self.regen = regen  # seconds, or None for a fresh key per connection
        self._lock = threading.Lock()
        self._key = None

    def start(self):
        """Make the first server key and keep renewing it in the background."""
        if self.regen is None:
            return
        self._renew()
        threading.Thread(target=self._renew_forever, name="ssh1d-keys", daemon=True).start()

    def _renew(self):
        key = rsakeys.generate(self.server_bits)
        with self._lock:
            self._key = key
        log("new %d-bit server key" % self.server_bits)

    def _renew_forever(self):
        while True:
            time.sleep(self.regen)
            self._renew()

    def current(self):
        if self.regen is None:
            return rsakeys.generate(self.server_bits)
        with self._lock:
            return self._key


class Server:
    def __init__(self, config, keys, address, port):
        self.config = config
        self.keys = keys
        self.listener = socket.create_server((address, port), reuse_port=False)
        self.sessions = {}
        self._count = 0
        self._lock = threading.Lock()
        self._stop_r, self._stop_w = os.pipe()

    @property
    def address(self):
        return self.listener.getsockname()[:2]

    def request_stop(self, *_):
        os.write(self._stop_w, b"x")

    def serve(self):
        log("listening on %s:%d" % self.address)
        selector = selectors.DefaultSelector()
        selector.register(self.listener, selectors.EVENT_READ)
        selector.register(self._stop_r, selectors.EVENT_READ)
        while True:
            events = selector.select()
            if any(key.fileobj == self._stop_r for key, _ in events):
                break
            try:
                sock, peer = self.listener.accept()
            except OSError:
                continue
            try:
                self._start_session(sock, peer)
            except (OSError, RuntimeError) as exc:  # reset before we got to it, or no threads left
                log("dropping %s:%d: %s" % (peer[0], peer[1], exc))
                sock.close()
        self._shutdown()

    def _start_session(self, sock, peer):
        with self._lock:
            if len(self.sessions) >= self.config.max_sessions:
                log("refusing %s:%d: %d sessions already" % (peer[0], peer[1], len(self.sessions)))
                sock.close()
                return
            self._count += 1
            number = self._count
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        session = Session(sock, peer, number, self.config, self.keys, log)
        thread = threading.Thread(target=self._run_session, args=(number, session),
                                  name="ssh1d-session-%d" % number, daemon=True)
        with self._lock:
            self.sessions[number] = (session, thread)
        try:
            thread.start()
        except RuntimeError:
            with self._lock:
                self.sessions.pop(number, None)
            raise

    def _run_session(self, number, session):
        try:
            session.run()
        finally:
            with self._lock:
                self.sessions.pop(number, None)

    def _shutdown(self):
        log("stopping")
        self.listener.close()
        with self._lock:
            running = list(self.sessions.values())
        for session, _ in running:
            session.stop()
        for _, thread in running:
            thread.join(10)
        log("stopped")


def install_signal_handlers(server):
    signal.signal(signal.SIGTERM, server.request_stop)
    signal.signal(signal.SIGINT, server.request_stop)
