"""kestrel1 logging in by RSA key, driven through tmux against ssh1d.

Keys come from both generators: kestrel1 --keygen and puttygen (putty-tools,
a black box), so a mistake kestrel1 shares with itself cannot pass.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

from test_kestrel1_tmux import KESTREL1, Pane
from harness import PASSWORD, ServerProcess

PASSPHRASE = "open sesame"


def puttygen(path, passphrase, comment):
    passfile = path + ".pass"
    with open(passfile, "w") as stream:
        stream.write(passphrase + "\n")
    subprocess.run(["puttygen", "-t", "rsa1", "-b", "1024", "-o", path, "-C", comment,
                    "--new-passphrase", passfile], check=True, capture_output=True)
    public = subprocess.run(["puttygen", path, "-O", "public", "--old-passphrase", passfile],
                            check=True, capture_output=True, text=True).stdout
    os.unlink(passfile)
    return public


def keygen(path, passphrase, comment):
    subprocess.run([KESTREL1, "--keygen", path, "--bits", "1024", "--comment", comment],
                   env=dict(os.environ, KESTREL_PASSPHRASE=passphrase), check=True, capture_output=True)
    with open(path + ".pub") as stream:
        return stream.read()


class KeyLoginTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("puttygen") is None:
            raise AssertionError("puttygen is missing (package putty-tools, see scripts/install-deps)")
        cls.folder = tempfile.mkdtemp(prefix="k1keys-")
        cls.keys = {}
        authorized = []
        for name, make, passphrase in (("putty", puttygen, PASSPHRASE), ("putty-clear", puttygen, ""),
                                       ("kestrel", keygen, PASSPHRASE)):
            path = os.path.join(cls.folder, name)
            authorized.append(make(path, passphrase, "%s key" % name))
            cls.keys[name] = path
        cls.stranger = os.path.join(cls.folder, "stranger")
        puttygen(cls.stranger, "", "not authorized")
        cls.authorized = os.path.join(cls.folder, "authorized_keys")
        with open(cls.authorized, "w") as stream:
            stream.write("".join(authorized))
        cls.server = ServerProcess("--authorized-keys", cls.authorized)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def pane(self, *args, home=None, **kw):
        env = dict(kw.pop("env", {}), HOME=home or self.folder)
        return Pane(self, self.server.port, "--accept-new-host-key", *args, env=env, **kw)

    def test_keys_from_both_generators_log_in_without_a_password(self):
        for name in ("putty", "kestrel"):
            with self.subTest(name):
                pane = self.pane("-i", self.stranger, "-i", self.keys[name], password=None,
                                 env={"KESTREL_PASSPHRASE": PASSPHRASE})
                pane.wait_for("Server refused our key.")
                pane.wait_for("RSA authentication accepted.")
                pane.wait_shell()
                self.assertNotIn("password", "\n".join(pane.screen()))
                self.server.wait_for_log(r"RSA key accepted \(line \d, '%s key'\)" % name)
                pane.type("exit 4")
                self.assertEqual((4, "RESTORED"), pane.wait_end())

    def test_passphrase_is_asked_after_the_challenge_and_not_shown(self):
        pane = self.pane("-i", self.keys["kestrel"], password=None)
        pane.wait_for("Enter passphrase for RSA key 'kestrel key':")
        pane.type(PASSPHRASE)
        pane.wait_shell()
        self.assertNotIn(PASSPHRASE, "\n".join(pane.screen()))

    def test_wrong_passphrase_and_open_key_file_fall_back_to_the_password(self):
        shared = os.path.join(self.folder, "shared-key")
        shutil.copy(self.keys["putty-clear"], shared)
        os.chmod(shared, 0o644)
        pane = self.pane("-i", shared, "-i", self.keys["putty"], env={"KESTREL_PASSPHRASE": "wrong"})
        pane.wait_for("permissions 0644 are too open")
        pane.wait_for("Bad passphrase for %s" % self.keys["putty"])
        pane.wait_for("Sent login password")
        pane.wait_shell()

    def test_default_identity_is_used_when_none_is_given(self):
        home = os.path.join(self.folder, "home")
        os.makedirs(os.path.join(home, ".ssh"), exist_ok=True)
        shutil.copy(self.keys["putty-clear"], os.path.join(home, ".ssh", "identity"))
        os.chmod(os.path.join(home, ".ssh", "identity"), 0o600)
        pane = self.pane(home=home, password=None)
        pane.wait_for("Trying RSA authentication with %s/.ssh/identity" % home)
        pane.wait_for("RSA authentication accepted.")
        pane.wait_shell()


if __name__ == "__main__":
    unittest.main()
