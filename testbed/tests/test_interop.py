#!/usr/bin/python3
"""ssh1d against Debian's protocol-1 client, run as a black box."""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import PASSWORD, USER, ServerProcess

CLIENT_SECONDS = 60
OPENSSL_LEGACY_CONF = ("openssl_conf = openssl_init\n[openssl_init]\nproviders = provider_sect\n"
                       "[provider_sect]\ndefault = default_sect\nlegacy = legacy_sect\n"
                       "[default_sect]\nactivate = 1\n[legacy_sect]\nactivate = 1\n")


def client_command(folder, port, password, options, command):
    return ["sshpass", "-p", password, "ssh1", "-1", "-F", "/dev/null",
            "-o", "UserKnownHostsFile=" + os.path.join(folder, "known_hosts"),
            "-o", "StrictHostKeyChecking=no", "-o", "NumberOfPasswordPrompts=1",
            "-c", "3des", "-p", str(port), "-v"] + options + [USER + "@127.0.0.1"] + command


def debian_client_setup(prefix):
    """A private folder, and an environment in which Debian's ssh1 (built
    against an OpenSSL that hides the old ciphers) can run."""
    for tool in ("ssh1", "sshpass"):
        if shutil.which(tool) is None:
            raise AssertionError("%s is missing (packages openssh-client-ssh1, sshpass)" % tool)
    folder = tempfile.mkdtemp(prefix=prefix)
    conf = os.path.join(folder, "openssl.cnf")
    with open(conf, "w") as handle:
        handle.write(OPENSSL_LEGACY_CONF)
    return folder, dict(os.environ, OPENSSL_CONF=conf)


class DebianClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder, cls.env = debian_client_setup("ssh1d-interop-")
        # Single DES (bit 1 << 2) offered beside 3DES and Blowfish.
        cls.server = ServerProcess("--ciphers-mask", "0x4c", host_key_bits=2048)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def ssh(self, *command, options=(), password=PASSWORD, stdin=b""):
        args = client_command(self.folder, self.server.port, password, list(options), list(command))
        try:
            return subprocess.run(args, input=stdin, capture_output=True, env=self.env,
                                  timeout=CLIENT_SECONDS)
        except subprocess.TimeoutExpired as exc:
            raise AssertionError("client hung; server log:\n" + "\n".join(self.server.lines)) from exc

    def test_command_output_stderr_and_exit_status(self):
        result = self.ssh("printf 'one\\ntwo\\n'; echo problem >&2; exit 42")
        self.assertEqual(result.stdout, b"one\ntwo\n")
        self.assertIn(b"problem\n", result.stderr)
        self.assertEqual(result.returncode, 42)
        self.assertIn(b"Received server public key (768 bits) and host key (2048 bits)", result.stderr)
        self.assertIn(b"Encryption type: 3des", result.stderr)
        self.assertIn(b"Received encrypted confirmation.", result.stderr)

    def test_stdin_reaches_the_command(self):
        data = os.urandom(100000)
        result = self.ssh("cat", stdin=data)
        self.assertEqual((result.returncode, result.stdout), (0, data))

    def test_typing_into_a_shell_on_a_pty(self):
        result = self.ssh(options=["-tt"], stdin=b"echo answer-$((6*7)) $TERM\nstty size\nexit 3\n")
        self.assertIn(b"Requesting pty.", result.stderr)
        self.assertIn(b"answer-42 ", result.stdout)
        self.assertRegex(result.stdout, rb"\d+ \d+\r\n")
        self.assertEqual(result.returncode, 3)
        self.server.wait_for_log(r"started shell \(pid \d+\) on a pty")

    def test_ten_megabytes_up_and_down_by_hash(self):
        data = os.urandom(10 * 1024 * 1024)
        digest = hashlib.sha256(data).hexdigest().encode()
        up = self.ssh("sha256sum", stdin=data)
        self.assertEqual((up.returncode, up.stdout.split()[0]), (0, digest))
        path = os.path.join(self.folder, "down.bin")
        with open(path, "wb") as handle:
            handle.write(data)
        down = self.ssh("cat", path)
        self.assertEqual(down.returncode, 0)
        self.assertEqual(hashlib.sha256(down.stdout).hexdigest().encode(), digest)

    def test_signal_eof_and_pty_as_the_client_sees_them(self):
        killed = self.ssh("kill -KILL $$")
        self.assertIn(b"Command terminated on signal 9.", killed.stderr)
        self.assertEqual(killed.returncode, 255)
        counted = self.ssh("wc -c", stdin=b"abc\x00def\n")
        self.assertEqual((counted.returncode, counted.stdout.strip()), (0, b"8"))
        plain = self.ssh("tty")
        self.assertEqual((plain.returncode, plain.stdout), (1, b"not a tty\n"))
        forced = self.ssh("tty", options=["-tt"])
        self.assertRegex(forced.stdout, rb"^/dev/pts/\d+\r\n$")
        self.assertEqual(self.ssh("exit 0").returncode, 0)
        self.server.wait_for_log(r"exit confirmed")

    def test_single_des(self):
        result = self.ssh("echo des-ok", options=["-c", "des"])
        self.assertEqual((result.returncode, result.stdout), (0, b"des-ok\n"), result.stderr)
        self.assertIn(b"Encryption type: des", result.stderr)
        data = os.urandom(1000000)
        echoed = self.ssh("cat", options=["-c", "des"], stdin=data)
        self.assertEqual(echoed.stdout, data)

    def with_fault(self, fault):
        with ServerProcess("--fault", fault, host_key_bits=2048) as faulty:
            args = client_command(self.folder, faulty.port, PASSWORD, [], ["echo through"])
            return subprocess.run(args, capture_output=True, env=self.env, timeout=CLIENT_SECONDS)

    def test_faults_as_the_client_sees_them(self):
        result = self.with_fault("ignore-flood=7")
        self.assertEqual((result.returncode, result.stdout), (0, b"through\n"))
        result = self.with_fault("bad-crc")
        self.assertIn(b"Corrupted check bytes on input", result.stderr)
        self.assertNotEqual(result.returncode, 0)
        result = self.with_fault("disconnect-after-user=Closed for maintenance")
        self.assertIn(b"Received disconnect from 127.0.0.1 port", result.stderr)
        self.assertIn(b"Closed for maintenance", result.stderr)

    def test_compression_both_ways(self):
        # Text that deflates well, so the counts show the streams really ran.
        text = b"".join(b"line %06d of a compressible listing\n" % i for i in range(30000))
        with ServerProcess(host_key_bits=2048) as server:
            args = client_command(self.folder, server.port, PASSWORD, ["-C"], ["cat; cat /dev/null"])
            result = subprocess.run(args, input=text, capture_output=True, env=self.env,
                                    timeout=CLIENT_SECONDS)
            self.assertEqual((result.returncode, result.stdout), (0, text))
            self.assertIn(b"Requesting compression at level 6.", result.stderr)
            self.assertIn(b"Enabling compression at level 6.", result.stderr)
            server.wait_for_log(r"compression at level 6")
            server.wait_for_log(r"compressed: sent \d+ -> \d+ bytes")
            line = next(x for x in server.lines if "compressed: sent" in x)
            sent, wire_sent, received_wire, received = map(int, re.findall(r"\d+", line.split("compressed:")[1]))
            self.assertGreater(sent, len(text))
            self.assertLess(wire_sent * 5, sent)
            self.assertLess(received_wire * 5, received)

    def test_refused_compression_leaves_the_session_plain(self):
        with ServerProcess("--no-compression", host_key_bits=2048) as server:
            args = client_command(self.folder, server.port, PASSWORD, ["-C"], ["echo plain"])
            result = subprocess.run(args, capture_output=True, env=self.env, timeout=CLIENT_SECONDS)
            self.assertEqual((result.returncode, result.stdout), (0, b"plain\n"))
            self.assertIn(b"refused compression", result.stderr)
            server.wait_for_log(r"compression at level 6 refused")

    def test_wrong_password_is_refused(self):
        result = self.ssh("true", password="not the password")
        self.assertIn(b"Permission denied", result.stderr)
        self.assertNotEqual(result.returncode, 0)
        self.server.wait_for_log(r"password refused")


def make_keys(folder):
    """(name, key file, passphrase) from both generators, and the public lines."""
    kestrel1 = os.environ.get("KESTREL1")
    if not kestrel1 or shutil.which("puttygen") is None:
        raise AssertionError("needs KESTREL1 (the kestrel1 program) and puttygen (package putty-tools)")
    keys, lines = [], []
    for name, passphrase in (("puttygen", "putty phrase"), ("puttygen-clear", ""), ("kestrel1", "kestrel phrase")):
        path = os.path.join(folder, name)
        passfile = path + ".pass"
        with open(passfile, "w") as handle:
            handle.write(passphrase + "\n")
        if name.startswith("puttygen"):
            subprocess.run(["puttygen", "-t", "rsa1", "-b", "2048", "-o", path, "-C", name + " key",
                            "--new-passphrase", passfile], check=True, capture_output=True)
        else:
            subprocess.run([kestrel1, "--keygen", path, "--comment", name + " key", "--passphrase-file", passfile],
                           check=True, capture_output=True)
            # Our key must be readable by the other generator too.
            listed = subprocess.run(["puttygen", "-l", path, "--old-passphrase", passfile],
                                    check=True, capture_output=True, text=True).stdout
            assert listed.startswith("2048 ") and listed.rstrip().endswith("kestrel1 key"), listed
        public = subprocess.run(["puttygen", path, "-O", "public", "--old-passphrase", passfile],
                                check=True, capture_output=True, text=True).stdout
        if name == "kestrel1":
            with open(path + ".pub") as handle:
                assert handle.read() == public, "kestrel1's .pub differs from puttygen's reading of the key"
        lines.append(public)
        keys.append((name, path, passphrase))
    return keys, lines


class DebianClientKeyTest(unittest.TestCase):
    """Debian's ssh1 logs in to ssh1d by RSA key, with keys of both generators."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="ssh1d-interop-keys-")
        conf = os.path.join(cls.folder, "openssl.cnf")
        with open(conf, "w") as handle:
            handle.write(OPENSSL_LEGACY_CONF)
        cls.env = dict(os.environ, OPENSSL_CONF=conf)
        cls.keys, lines = make_keys(cls.folder)
        authorized = os.path.join(cls.folder, "authorized_keys")
        with open(authorized, "w") as handle:
            handle.write("".join(lines))
        cls.server = ServerProcess("--authorized-keys", authorized, host_key_bits=2048)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_keys_of_both_generators_log_in(self):
        for name, path, passphrase in self.keys:
            with self.subTest(name):
                # sshpass answers the passphrase question; the password is never used.
                args = ["sshpass", "-P", "passphrase", "-p", passphrase or "unused"] + client_command(
                    self.folder, self.server.port, "unused",
                    ["-i", path, "-o", "PasswordAuthentication=no", "-o", "IdentitiesOnly=yes"],
                    ["echo key-" + name])[3:]
                result = subprocess.run(args, capture_output=True, env=self.env, timeout=CLIENT_SECONDS)
                self.assertEqual(result.stdout, ("key-%s\n" % name).encode(), result.stderr.decode()[-2000:])
                self.assertIn(b"RSA authentication accepted by server.", result.stderr)
                self.server.wait_for_log(r"RSA key accepted \(line \d, '%s key'\)" % name)


if __name__ == "__main__":
    unittest.main()
