"""Starting and stopping a real ssh1d process for the tests."""
import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTBED = os.path.dirname(HERE)
sys.path.insert(0, TESTBED)
from ssh1dlib import wire  # noqa: E402
from ssh1dlib.client import Client  # noqa: E402

SSH1D = os.path.join(TESTBED, "ssh1d")
USER, PASSWORD = "tester", "s3cret pass"
STARTUP_SECONDS = 60  # a first run may generate the host key
_CONNECTION = re.compile(r"^ssh1d: \[(\d+)\] connection from ")
_LISTENING = re.compile(r"^ssh1d: listening on ([0-9.]+):(\d+)$")


def state_dir():
    """Host keys persist across runs so that only the first run pays for them."""
    path = os.environ.get("SSH1D_STATE_DIR") or os.path.join(tempfile.gettempdir(), "ssh1d-test-state")
    os.makedirs(path, exist_ok=True)
    return path


class ServerProcess:
    def __init__(self, *extra, host_key_bits=1024):
        args = [SSH1D, "--port", "0", "--user", USER, "--password", PASSWORD,
                "--state-dir", os.path.join(state_dir(), "host%d" % host_key_bits),
                "--host-key-bits", str(host_key_bits)] + list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True, errors="replace")
        self.lines = []
        self._queue = queue.Queue()
        self._collector = threading.Thread(target=self._collect, daemon=True)
        self._collector.start()
        self.port = None
        deadline = time.monotonic() + STARTUP_SECONDS
        while self.port is None:
            match = _LISTENING.match(self.next_line(deadline - time.monotonic()))
            if match:
                self.port = int(match.group(2))

    def _collect(self):
        for line in self.proc.stderr:
            self.lines.append(line.rstrip("\n"))
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def next_line(self, timeout):
        try:
            line = self._queue.get(timeout=max(timeout, 0.01))
        except queue.Empty:
            self.stop()
            raise AssertionError("ssh1d said nothing for %.0f s; log:\n%s"
                                 % (timeout, "\n".join(self.lines))) from None
        if line is None:
            raise AssertionError("ssh1d ended early; log:\n" + "\n".join(self.lines))
        return line

    def wait_for_log(self, pattern, timeout=10, count=1):
        """The match in the count-th log line matching; earlier lines count too."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            matches = [m for m in map(regex.search, list(self.lines)) if m]
            if len(matches) >= count:
                return matches[count - 1]
            if time.monotonic() >= deadline:
                break
            time.sleep(0.05)
        raise AssertionError("%d log line(s) matching %r wanted, %d seen; log:\n%s"
                             % (count, pattern, len(matches), "\n".join(self.lines)))

    def last_session(self):
        """The highest session number that has connected so far, 0 before any."""
        numbers = [int(m.group(1)) for m in map(_CONNECTION.search, list(self.lines)) if m]
        return max(numbers, default=0)

    def stop(self, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._collector.join(5)
        self.proc.stderr.close()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


class SharedServerTest(unittest.TestCase):
    """One server for all tests of a class: starting one costs a key generation."""

    server_args = ()

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess(*cls.server_args)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()


def keyed(port, cipher=wire.CIPHER_3DES, timeout=20.0):
    """A client whose key exchange has been confirmed, not yet logged in."""
    client = Client("127.0.0.1", port, timeout=timeout)
    client.identify()
    if client.key_exchange(cipher) != wire.SMSG_SUCCESS:
        raise AssertionError("session key not confirmed")
    return client


def connect(port, cipher=wire.CIPHER_3DES, timeout=20.0):
    client = Client("127.0.0.1", port, timeout=timeout)
    client.connect(USER, PASSWORD, cipher)
    return client
