#!/usr/bin/python3
"""ssh1d's RSA authentication, driven by the testbed's own client."""
import os
import shutil
import tempfile
import unittest

from harness import PASSWORD, USER, ServerProcess, keyed
from ssh1dlib import rsaauth, rsakeys, wire


def key_line(key, comment):
    return "%d %d %d %s\n" % (key.bits, key.e, key.n, comment)


class RsaAuthTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="ssh1d-rsa-")
        cls.allowed = rsakeys.generate(1024)
        cls.stranger = rsakeys.generate(1024)
        cls.authorized = os.path.join(cls.folder, "authorized_keys")
        with open(cls.authorized, "w") as handle:
            handle.write("# comments and blank lines are skipped\n\n")
            handle.write("1024 65537 not-a-number broken line\n")
            handle.write(key_line(cls.allowed, "allowed key"))
        cls.server = ServerProcess("--authorized-keys", cls.authorized)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def client_after_user(self, user=USER):
        client = keyed(self.server.port)
        self.addCleanup(client.close)
        client.send(wire.CMSG_USER, wire.string(user.encode()))
        self.assertEqual(client.read()[0], wire.SMSG_FAILURE)
        return client

    def test_authorized_key_logs_in_without_a_password(self):
        client = self.client_after_user()
        self.assertEqual(client.rsa_attempt(self.allowed), wire.SMSG_SUCCESS)
        self.assertEqual(client.run("echo in by key"), (b"in by key\n", b"", 0))
        self.server.wait_for_log(r"RSA key accepted \(line 4, 'allowed key'\)")
        self.server.wait_for_log(r"line 3 is not a protocol 1 key; skipped")

    def test_unknown_key_and_wrong_answer_are_refused_then_password_works(self):
        client = self.client_after_user()
        self.assertEqual(client.rsa_attempt(self.stranger), wire.SMSG_FAILURE)
        self.assertEqual(client.rsa_attempt(self.allowed, answer=bytes(16)), wire.SMSG_FAILURE)
        client.send(wire.CMSG_AUTH_PASSWORD, wire.string(PASSWORD.encode()))
        self.assertEqual(client.read()[0], wire.SMSG_SUCCESS)
        self.server.wait_for_log(r"RSA key refused \(1024 bits, not authorized\)")
        self.server.wait_for_log(r"RSA response wrong for the key of line 4")

    def test_key_of_another_user_name_is_refused(self):
        client = self.client_after_user(user="intruder")
        self.assertEqual(client.rsa_attempt(self.allowed), wire.SMSG_FAILURE)

    def test_line_parser_bounds(self):
        good = key_line(self.allowed, "c").strip()
        self.assertIsNotNone(rsaauth.parse_line(good))
        n = self.allowed.n
        for bad in ("", "1024 65537", "1023 65537 %d" % n, "1024 65536 %d" % n,
                    "1024 6553x %d" % n, good + " " + "c" * rsaauth.MAX_LINE,
                    "%d 3 %d" % ((1 << 500).bit_length(), 1 << 500)):
            self.assertIsNone(rsaauth.parse_line(bad), bad[:40])

    def test_oversized_file_is_not_read(self):
        path = os.path.join(self.folder, "huge")
        line = key_line(self.allowed, "x")
        with open(path, "w") as handle:
            handle.write(line * (rsaauth.MAX_AUTHORIZED_KEYS_BYTES // len(line) + 1))
        logged = []
        self.assertEqual(rsaauth.load(path, logged.append), [])
        self.assertIn("larger than %d bytes" % rsaauth.MAX_AUTHORIZED_KEYS_BYTES, logged[0])
        with open(path, "w") as handle:
            handle.write(line * (rsaauth.MAX_AUTHORIZED_KEYS_BYTES // len(line)))
        self.assertEqual(len(rsaauth.load(path, logged.append)), rsaauth.MAX_AUTHORIZED_KEYS_BYTES // len(line))


if __name__ == "__main__":
    unittest.main()
