#!/usr/bin/python3
"""kestrel1 with a remote command and pipes, against ssh1d: what scripts rely on."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "testbed", "tests"))
from harness import PASSWORD, USER, ServerProcess  # noqa: E402

KESTREL1 = os.environ.get("KESTREL1", os.path.join(ROOT, "build", "native", "posix", "kestrel1"))
CLIENT_SECONDS = 120
BULK_BYTES = 10 * 1024 * 1024
# 3DES, Blowfish and single DES (bit 1 << 2) offered.
MASK_WITH_DES = "0x4c"


class PipeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="kestrel1-pipes-")
        cls.server = ServerProcess("--ciphers-mask", MASK_WITH_DES)
        cls.env = dict(os.environ, KESTREL_PASSWORD=PASSWORD, XDG_STATE_HOME=cls.folder,
                       XDG_CONFIG_HOME=cls.folder, TERM="xterm-256color")

        # The first connection remembers the host key, with a warning; the
        # tests then count lines on a quiet stderr.
        first = cls.run_client(cls, "true")
        assert first.returncode == 0 and b"Host key remembered" in first.stderr, first.stderr

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def run_client(self, *command, options=(), stdin=b""):
        args = [KESTREL1, "--accept-new-host-key", "-p", str(self.server.port)] + list(options) + \
            [USER + "@127.0.0.1"] + list(command)
        # No controlling terminal: nothing may be asked, as under cron.
        try:
            return subprocess.run(args, input=stdin, capture_output=True, env=self.env,
                                  timeout=CLIENT_SECONDS, start_new_session=True)
        except subprocess.TimeoutExpired as exc:
            raise AssertionError("kestrel1 hung; server log:\n" + "\n".join(self.server.lines)) from exc

    def test_ten_megabytes_up_and_down_arrive_exact(self):
        data = os.urandom(BULK_BYTES) + bytes(1000)  # zero bytes at the end too
        digest = hashlib.sha256(data).hexdigest().encode()
        up = self.run_client("sha256sum", stdin=data)
        self.assertEqual((up.returncode, up.stdout.split()[0]), (0, digest), up.stderr)
        path = os.path.join(self.folder, "down.bin")
        with open(path, "wb") as handle:
            handle.write(data)
        down = self.run_client("cat", path)
        self.assertEqual(down.returncode, 0, down.stderr)
        self.assertEqual(hashlib.sha256(down.stdout).hexdigest().encode(), digest)

    def test_the_known_hosts_file_named_by_the_configuration_is_the_one_used(self):
        chosen = os.path.join(self.folder, "chosen_known_hosts")
        first = self.run_client("true", options=("-o", "UserKnownHostsFile=" + chosen))
        self.assertEqual(first.returncode, 0, first.stderr)
        with open(chosen) as stream:
            self.assertIn("[127.0.0.1]:%d" % self.server.port, stream.read())
        # A key pinned there and changed is refused, though the default file trusts it.
        with open(chosen, "w") as stream:
            stream.write("[127.0.0.1]:%d 1024 65537 12345 changed\n" % self.server.port)
        changed = self.run_client("true", options=("-o", "UserKnownHostsFile=" + chosen))
        self.assertEqual(changed.returncode, 253, changed.stderr)

    def test_stderr_separate_and_exit_statuses(self):
        cases = [("printf 'out\\000put'; printf 'err\\n' >&2; exit 0", 0, b"out\x00put", b"err\n"),
                 ("echo three; exit 3", 3, b"three\n", b"")]
        for command, status, stdout, stderr in cases:
            result = self.run_client(command)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (status, stdout, stderr), command)

    def test_a_command_killed_by_a_signal_ends_with_the_servers_reason(self):
        result = self.run_client("echo before; kill -KILL $$")
        self.assertEqual(result.returncode, 255)
        self.assertEqual(result.stdout, b"before\n")
        self.assertIn(b"Command terminated on signal 9.", result.stderr)
        self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)  # one clear line

    def test_end_of_input_reaches_the_command(self):
        result = self.run_client("wc -c", stdin=b"abc\x00def\n")
        self.assertEqual((result.returncode, result.stdout.strip()), (0, b"8"))
        # A shell without a command, fed from the pipe, ends with its input.
        result = self.run_client(stdin=b"echo from-shell; tty\n")
        self.assertEqual(result.stdout, b"from-shell\nnot a tty\n")

    def test_pty_only_with_t(self):
        plain = self.run_client("tty")
        self.assertEqual((plain.returncode, plain.stdout), (1, b"not a tty\n"))
        forced = self.run_client("tty; echo $TERM", options=["-t"])
        self.assertEqual(forced.returncode, 0, forced.stderr)
        self.assertRegex(forced.stdout, rb"^/dev/pts/\d+\r\nxterm-256color\r\n$")
        never = self.run_client(options=["-T"], stdin=b"tty\n")
        self.assertEqual(never.stdout, b"not a tty\n")

    def test_status_lines_only_with_v_and_warnings_gone_with_q(self):
        quiet = self.run_client("true", options=["-q", "-c", "des"])
        self.assertEqual((quiet.returncode, quiet.stderr), (0, b""))
        weak = self.run_client("echo des-ok", options=["-c", "des"])
        self.assertEqual(weak.stdout, b"des-ok\n")
        self.assertIn(b"kestrel1: warning: single DES is weak", weak.stderr)
        verbose = self.run_client("true", options=["-v", "-c", "des"])
        self.assertIn(b"kestrel1: Cipher 'DES' selected.", verbose.stderr)
        self.server.wait_for_log(r"cipher des")

    def test_errors_are_one_line(self):
        env = dict(self.env, KESTREL_PASSWORD="wrong")
        result = subprocess.run([KESTREL1, "--accept-new-host-key", "-p", str(self.server.port),
                                 USER + "@127.0.0.1", "true"], capture_output=True, env=env,
                                timeout=CLIENT_SECONDS, start_new_session=True)
        self.assertEqual(result.returncode, 252)
        self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        self.assertIn(b"refused", result.stderr)


if __name__ == "__main__":
    unittest.main()
