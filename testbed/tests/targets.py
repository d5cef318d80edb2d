"""Loopback TCP servers for forwarded connections to end at, and helpers to feed them."""
import hashlib
import os
import socket
import threading
import time

CHUNK = 64 * 1024
KINDS = ("echo", "sink", "source")


def free_port():
    """A loopback port nothing listens on (free when asked; the caller binds it soon)."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def drain(sock):
    """(byte count, sha256 hex digest) of everything read until EOF."""
    digest, count = hashlib.sha256(), 0
    while True:
        try:
            block = sock.recv(CHUNK)
        except ConnectionResetError:
            break
        if not block:
            break
        count += len(block)
        digest.update(block)
    return count, digest.hexdigest()


def send_all_then_eof(sock, data):
    """Send data and shut the write side from a daemon thread; returns the thread."""
    def run():
        try:
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


class Target:
    """A threaded loopback server of one kind; `port` is where it listens."""

    def __init__(self, kind, size=None):
        if kind not in KINDS:
            raise ValueError("kind must be one of %s" % (KINDS,))
        self.kind = kind
        self.size = size
        self.received = []
        self.sent_digests = []
        self._lock = threading.Lock()
        self._socks = []
        self._threads = []
        self._listener = socket.create_server(("127.0.0.1", 0), backlog=512)
        self.port = self._listener.getsockname()[1]
        self._acceptor = threading.Thread(target=self._accept_loop, daemon=True)

    def __enter__(self):
        self._acceptor.start()
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        self._acceptor.join(5)
        with self._lock:
            socks, threads = list(self._socks), list(self._threads)
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in threads:
            thread.join(5)
        for sock in socks:
            sock.close()

    def wait_received(self, count=1, timeout=20):
        """What the sink has read, once `count` connections have ended: the
        tunnel may report its close before the sink has noted the last one."""
        deadline = time.monotonic() + timeout
        while len(self.received) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return list(self.received)

    def _accept_loop(self):
        while True:
            try:
                sock, _ = self._listener.accept()
            except OSError:
                return
            # Slots in connection order, so that digests line up with connections.
            with self._lock:
                if self.kind == "source":
                    self.sent_digests.append(None)
                    slot = len(self.sent_digests) - 1
                else:
                    slot = None
                thread = threading.Thread(target=self._serve, args=(sock, slot), daemon=True)
                self._socks.append(sock)
                self._threads.append(thread)
            thread.start()

    def _serve(self, sock, slot):
        try:
            getattr(self, "_" + self.kind)(sock, slot)
        except OSError:
            pass

    def _echo(self, sock, _):
        while True:
            block = sock.recv(CHUNK)
            if not block:
                break
            sock.sendall(block)
        sock.shutdown(socket.SHUT_WR)
        sock.close()

    def _sink(self, sock, _):
        result = drain(sock)
        with self._lock:
            self.received.append(result)
        sock.close()

    def _source(self, sock, slot):
        digest, left = hashlib.sha256(), self.size
        while left > 0:
            block = os.urandom(min(CHUNK, left))
            digest.update(block)
            sock.sendall(block)
            left -= len(block)
        with self._lock:
            self.sent_digests[slot] = digest.hexdigest()
        sock.close()
