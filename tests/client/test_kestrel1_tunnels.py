#!/usr/bin/python3
"""kestrel1's forwarded ports (-L, -R) against ssh1d: bytes exact, channels
closed on both sides, descriptors and memory bounded, failures reported."""
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "testbed", "tests"))
from harness import PASSWORD, USER, ServerProcess  # noqa: E402
from targets import Target, drain, free_port, send_all_then_eof  # noqa: E402

KESTREL1 = os.environ.get("KESTREL1", os.path.join(ROOT, "build", "native", "posix", "kestrel1"))
WAIT_SECONDS = 120
BULK_BYTES = 20 * 1000 * 1000
SHORT_CONNECTIONS = 200
# Held towards a local socket while its reader sleeps (the client's channel
# buffer plus a packet), and what the rest of the process may add to it.
MEMORY_ALLOWANCE_KIB = 16 * 1024


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


HAVE_IPV6 = ipv6_loopback()


def wait_until(condition, what, timeout=WAIT_SECONDS):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def connect_when_listening(port):
    def attempt():
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=WAIT_SECONDS)
        except ConnectionRefusedError:
            return None
    return wait_until(attempt, "a listener on port %d" % port)


def round_trip(port, data):
    with connect_when_listening(port) as sock:
        send_all_then_eof(sock, data)
        return drain(sock)


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def sanitized(pid):
    with open("/proc/%d/maps" % pid) as maps:
        return "libasan" in maps.read()


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


class Session:
    """kestrel1 running `command` with forwardings, until stopped."""

    def __init__(self, test, forwards, command=("sleep", "600"), stdin=subprocess.DEVNULL):
        args = [KESTREL1, "--accept-new-host-key", "-p", str(test.server.port)] + list(forwards) + \
            [USER + "@127.0.0.1"] + list(command)
        self.proc = subprocess.Popen(args, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=test.env, start_new_session=True)
        self.number = None
        self.server = test.server

    def wait_started(self, before):
        match = self.server.wait_for_log(r"\[(\d+)\] started command", timeout=WAIT_SECONDS,
                                         count=before + 1)
        self.number = int(match.group(1))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        out, err = self.proc.communicate(timeout=WAIT_SECONDS)
        return self.proc.returncode, out, err


class TunnelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="kestrel1-tunnels-")
        cls.server = ServerProcess()
        cls.env = dict(os.environ, KESTREL_PASSWORD=PASSWORD, XDG_STATE_HOME=cls.folder,
                       XDG_CONFIG_HOME=cls.folder, HOME=cls.folder)
        cls.sessions = 0

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def start(self, forwards, **options):
        session = Session(self, forwards, **options)
        session.wait_started(TunnelTest.sessions)
        TunnelTest.sessions += 1
        self.addCleanup(lambda: session.proc.poll() is None and session.proc.kill())
        return session

    def server_count(self, session, what):
        pattern = re.compile(r"\[%d\] channel \d+ %s" % (session.number, what))
        return sum(1 for line in list(self.server.lines) if pattern.search(line))

    def wait_all_closed(self, session):
        """Until the server has finished every channel it opened: the last
        close message may still be on its way when the data has arrived."""
        wait_until(lambda: self.server_count(session, "closed") == self.server_count(session, "open to"),
                   "every channel's close handshake", 10)

    def channels_left(self, session):
        self.wait_all_closed(session)
        session.stop()
        match = self.server.wait_for_log(r"\[%d\] channels left open: (\d+)" % session.number)
        return int(match.group(1))

    def test_twenty_megabytes_through_one_tunnel_arrive_exact(self):
        data = os.urandom(BULK_BYTES)
        with Target("echo") as echo:
            port = free_port()
            session = self.start(["-L", "%d:127.0.0.1:%d" % (port, echo.port)])
            self.assertEqual(round_trip(port, data), (len(data), hashlib.sha256(data).hexdigest()))
            self.assertEqual(self.channels_left(session), 0)
            # The session's end took its listener with it.
            self.assertRaises(ConnectionRefusedError, socket.create_connection, ("127.0.0.1", port))

    def test_four_tunnels_at_once_while_the_session_answers(self):
        data = [os.urandom(5 * 1000 * 1000) for _ in range(4)]
        with Target("echo") as echo:
            ports = [free_port() for _ in data]
            forwards = sum((["-L", "%d:127.0.0.1:%d" % (port, echo.port)] for port in ports), [])
            session = self.start(forwards, command=("cat",), stdin=subprocess.PIPE)
            results = [None] * len(data)
            threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, round_trip(ports[i], data[i])))
                       for i in range(len(data))]
            for thread in threads:
                thread.start()
            # Lines typed into the session come back while the bulk runs.
            answered_during_bulk = 0
            for line in range(20):
                session.proc.stdin.write(b"line %d\n" % line)
                session.proc.stdin.flush()
                self.assertEqual(session.proc.stdout.readline(), b"line %d\n" % line)
                answered_during_bulk += any(thread.is_alive() for thread in threads)
            for thread in threads:
                thread.join(WAIT_SECONDS)
            self.assertEqual(results, [(len(d), hashlib.sha256(d).hexdigest()) for d in data])
            self.assertGreater(answered_during_bulk, 0)
            session.proc.stdin.close()
            self.assertEqual(session.proc.wait(WAIT_SECONDS), 0)
            session.proc.stdout.close()
            session.proc.stderr.close()
            self.server.wait_for_log(r"\[%d\] channels left open: 0" % session.number)

    def test_a_refused_target_closes_that_connection_and_the_session_goes_on(self):
        closed_port = free_port()
        with Target("echo") as echo:
            port, good = free_port(), free_port()
            session = self.start(["-L", "%d:127.0.0.1:%d" % (port, closed_port),
                                  "-L", "%d:127.0.0.1:%d" % (good, echo.port)])
            with connect_when_listening(port) as sock:
                self.assertEqual(sock.recv(100), b"")
            self.assertEqual(round_trip(good, b"still here"), (10, hashlib.sha256(b"still here").hexdigest()))
            code, _, err = session.stop()
            self.assertEqual(err.count(b"the server could not open 127.0.0.1:%d" % closed_port), 1, err)

    def test_a_taken_listener_port_is_a_clear_error_before_connecting(self):
        addresses = [(socket.AF_INET, "127.0.0.1")] + ([(socket.AF_INET6, "::1")] if HAVE_IPV6 else [])
        for family, address in addresses:
            with self.subTest(address), socket.create_server((address, 0), family=family) as taken:
                port = taken.getsockname()[1]
                connections = self.server.last_session()
                result = subprocess.run([KESTREL1, "-p", str(self.server.port), "-L", "%d:127.0.0.1:9" % port,
                                         USER + "@127.0.0.1", "true"], capture_output=True, env=self.env,
                                        timeout=WAIT_SECONDS)
                self.assertEqual(result.returncode, 251)
                self.assertIn(b"cannot listen on %s port %d" % (address.encode(), port), result.stderr)
                self.assertIn(b"Address already in use", result.stderr)
                self.assertEqual(self.server.last_session(), connections)

    @unittest.skipUnless(HAVE_IPV6, "no IPv6 loopback here")
    def test_localhost_reaches_the_tunnel_on_either_loopback_address(self):
        with Target("echo") as echo:
            port = free_port()
            session = self.start(["-L", "%d:127.0.0.1:%d" % (port, echo.port)])
            connect_when_listening(port).close()
            for address in ("127.0.0.1", "::1"):
                with socket.create_connection((address, port), timeout=WAIT_SECONDS) as sock:
                    send_all_then_eof(sock, address.encode())
                    self.assertEqual(drain(sock)[0], len(address), address)
            self.assertEqual(self.channels_left(session), 0)

    def test_many_short_connections_leave_no_descriptor_behind(self):
        with Target("echo") as echo:
            port = free_port()
            session = self.start(["-L", "%d:127.0.0.1:%d" % (port, echo.port)])
            round_trip(port, b"warm-up")
            self.wait_all_closed(session)
            time.sleep(0.5)  # the client frees its side when the last message arrives
            before = descriptors(session.proc.pid)
            for number in range(SHORT_CONNECTIONS):
                message = b"connection %d" % number
                self.assertEqual(round_trip(port, message)[0], len(message))
            # The last close handshake may still be on its way.
            wait_until(lambda: descriptors(session.proc.pid) <= before, "the descriptors to settle", 10)
            after = descriptors(session.proc.pid)
            print("descriptors of kestrel1 before %d, after %d short connections: %d"
                  % (before, SHORT_CONNECTIONS, after), file=sys.stderr)
            self.assertEqual(after, before)
            self.assertEqual(self.channels_left(session), 0)

    def test_a_stalled_local_reader_holds_bounded_memory_and_loses_nothing(self):
        size = 64 * 1000 * 1000
        with Target("source", size=size) as source:
            port = free_port()
            session = self.start(["-L", "%d:127.0.0.1:%d" % (port, source.port)])
            baseline = resident_kib(session.proc.pid)
            with connect_when_listening(port) as sock:
                digest = hashlib.sha256(sock.recv(1))
                # The source keeps sending while nothing is read here; the
                # server's connection backs up instead of the client's memory.
                samples = []
                for _ in range(20):
                    time.sleep(0.1)
                    samples.append(resident_kib(session.proc.pid))
                # The hold reached the far end: its source could not finish.
                self.assertEqual(source.sent_digests, [None])
                count = 1
                while True:
                    data = sock.recv(1 << 16)
                    if not data:
                        break
                    digest.update(data)
                    count += len(data)
            self.assertEqual((count, digest.hexdigest()), (size, source.sent_digests[0]))
            if not sanitized(session.proc.pid):  # AddressSanitizer keeps freed memory for a while
                self.assertLess(max(samples) - baseline, MEMORY_ALLOWANCE_KIB, samples)
            self.assertEqual(self.channels_left(session), 0)

    def test_a_remote_forwarding_brings_the_servers_connections_here(self):
        with Target("echo") as echo:
            remote_port = free_port()
            session = self.start(["-R", "%d:127.0.0.1:%d" % (remote_port, echo.port)])
            data = os.urandom(3 * 1000 * 1000)
            self.assertEqual(round_trip(remote_port, data), (len(data), hashlib.sha256(data).hexdigest()))
            self.assertEqual(self.channels_left(session), 0)

    def test_a_port_open_nobody_asked_for_is_refused_and_reaches_nothing(self):
        with socket.create_server(("127.0.0.1", 0)) as bait:
            bait.setblocking(False)
            target = "127.0.0.1:%d" % bait.getsockname()[1]
            server = ServerProcess("--fault", "unasked-port-open=" + target)
            self.addCleanup(server.stop)
            with Target("echo") as echo:
                cases = [(), ("-R", "%d:127.0.0.1:%d" % (free_port(), echo.port)),
                         ("-L", "%d:127.0.0.1:%d" % (free_port(), echo.port))]
                for number, forwards in enumerate(cases, 1):
                    with self.subTest(forwards):
                        result = subprocess.run(
                            [KESTREL1, "--accept-new-host-key", "-p", str(server.port)] + list(forwards) +
                            [USER + "@127.0.0.1", "sleep 1; echo still here"],
                            capture_output=True, env=self.env, timeout=WAIT_SECONDS)
                        self.assertEqual((result.returncode, result.stdout), (0, b"still here\n"), result.stderr)
                        server.wait_for_log(r"\[%d\] client refused channel \d+ to %s" % (number, target))
                        self.assertRaises(BlockingIOError, bait.accept)
                        self.assertIn(b"connection to %s, which was not forwarded" % target.encode(), result.stderr)

    def test_a_running_session_shows_no_password_in_its_environment(self):
        # Not a tunnel matter, but a long-lived session is where it counts.
        session = self.start([])
        with open("/proc/%d/environ" % session.proc.pid, "rb") as environ:
            self.assertNotIn(PASSWORD.encode(), environ.read())
        session.stop()

    def test_forwarding_values_the_client_refuses(self):
        cases = ["8080:localhost", "0:localhost:80", "8080:localhost:70000", "a:b:c:d:e",
                 "[::1:8080:localhost:80"]
        for value in cases:
            result = subprocess.run([KESTREL1, "-L", value, "host"], capture_output=True, env=self.env,
                                    timeout=WAIT_SECONDS)
            self.assertEqual(result.returncode, 2, value)
            self.assertIn(b"-L " + value.encode(), result.stderr)
        remote = subprocess.run([KESTREL1, "-R", "127.0.0.1:8080:localhost:80", "host"], capture_output=True,
                                env=self.env, timeout=WAIT_SECONDS)
        self.assertEqual(remote.returncode, 2)
        self.assertIn(b"no bind address", remote.stderr)


if __name__ == "__main__":
    unittest.main()
