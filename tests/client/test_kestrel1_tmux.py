"""kestrel1 driven through tmux as a person would drive it, against ssh1d.

Every client runs in a tmux server of its own, inside a small shell wrapper
that reports the exit code and whether the terminal modes came back unchanged:
    END <code> RESTORED|BROKEN
"""
import os
import shlex
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "testbed", "tests"))
from harness import PASSWORD, USER, ServerProcess  # noqa: E402
from targets import Target, free_port  # noqa: E402

KESTREL1 = os.environ.get("KESTREL1", os.path.join(ROOT, "build", "native", "tools", "kestrel1", "kestrel1"))
VTREPLAY = os.environ.get("VTREPLAY", os.path.join(ROOT, "build", "native", "tools", "vtreplay", "vtreplay"))
WAIT_SECONDS = 20  # every wait is bounded; a loaded machine gets this long


class Pane:
    """One tmux server with one pane running kestrel1 in the wrapper."""
    count = 0

    def __init__(self, test, port, *args, env=None, width=80, height=24, password=PASSWORD, known=None):
        Pane.count += 1
        self.socket = "k1test-%d-%d" % (os.getpid(), Pane.count)
        self.home = tempfile.mkdtemp(prefix="k1home-")
        self.stderr = os.path.join(self.home, "stderr")
        self.known = os.path.join(self.home, "state", "kestrel1", "known_hosts")
        if known is not None:
            os.makedirs(os.path.dirname(self.known))
            with open(self.known, "w") as stream:
                stream.write(known)
        variables = {"HOME": self.home,  # its ~/.ssh/config, not the tester's
                     "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
                     "XDG_STATE_HOME": os.path.join(self.home, "state"),
                     "TERM": "screen", "LANG": "C.UTF-8"}
        if password is not None:
            variables["KESTREL_PASSWORD"] = password
        variables.update(env or {})
        command = [KESTREL1, "%s@127.0.0.1" % USER, "-p", str(port)] + list(args)
        script = ('before=$(stty -g); %s 2>%s; code=$?; after=$(stty -g); '
                  '[ "$before" = "$after" ] && r=RESTORED || r=BROKEN; printf "\\nEND %%s %%s\\n" $code $r; '
                  'sleep 600' % (" ".join(shlex.quote(a) for a in command), shlex.quote(self.stderr)))
        exports = " ".join("%s=%s" % (k, shlex.quote(v)) for k, v in variables.items())
        self.tmux("new-session", "-d", "-x", str(width), "-y", str(height), "env %s sh -c %s"
                  % (exports, shlex.quote(script)))
        test.addCleanup(self.close)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null"] + list(args),
                              check=True, capture_output=True, text=True).stdout

    def keys(self, *keys):
        self.tmux("send-keys", *keys)

    def type(self, text):
        self.tmux("send-keys", "-l", text)
        self.tmux("send-keys", "Enter")

    def screen(self):
        return self.tmux("capture-pane", "-p").split("\n")

    def wait_for(self, text, timeout=WAIT_SECONDS):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            shown = "\n".join(self.screen())
            if text in shown:
                return shown
            time.sleep(0.1)
        raise AssertionError("%r not shown within %d s; screen:\n%s" % (text, timeout, "\n".join(self.screen())))

    def wait_prompt(self, timeout=WAIT_SECONDS):
        """Until the remote shell's prompt is the last line shown."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = [line for line in self.screen() if line.strip()]
            if lines and lines[-1].rstrip() == "#":
                return "\n".join(lines)
            time.sleep(0.1)
        raise AssertionError("no prompt within %d s; screen:\n%s" % (timeout, "\n".join(self.screen())))

    def wait_end(self):
        """The exit code and whether the terminal was restored."""
        shown = self.wait_for("\nEND ")
        words = shown[shown.rindex("\nEND ") + 1:].split("\n")[0].split()
        return int(words[1]), words[2]

    def error_text(self):
        with open(self.stderr) as stream:
            return stream.read()

    def wait_shell(self):
        self.wait_for("PTTY Allocated")
        self.type("echo ready-$((6*7))")
        self.wait_for("ready-42")

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
        subprocess.run(["rm", "-rf", self.home])


class Kestrel1Test(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def pane(self, *args, **kw):
        return Pane(self, self.server.port, "--accept-new-host-key", *args, **kw)

    def test_screen_matches_the_buffer_dump(self):
        fixture = os.path.join(HERE, "fixtures", "screen.vt")
        pane = self.pane("--scrollback", "0")
        pane.wait_shell()
        pane.type("cat %s; sleep 600" % fixture)
        pane.wait_for("end**")
        dump = subprocess.run([VTREPLAY, "--scrollback", "0", fixture], check=True,
                              capture_output=True, text=True).stdout.split("\n")
        expected = [line.split("|", 1)[1].rsplit("|", 1)[0].replace("`", " ")
                    for line in dump if line.startswith("line ")]
        shown = [line.rstrip() for line in pane.screen()[:24]]
        self.assertEqual([line.rstrip() for line in expected], shown)
        cursor = pane.tmux("display", "-p", "#{cursor_y} #{cursor_x}").split()
        self.assertEqual(["21", "3"], cursor)  # dump: line 22 column 4

    def test_typed_keys_arrows_and_ctrl_c_reach_the_server(self):
        for vt52, arrows in ((False, "^[[A^[[D"), (True, "^[A^[D")):
            with self.subTest(vt52=vt52):
                pane = self.pane(*(["--vt52"] if vt52 else []))
                pane.wait_shell()
                pane.type("cat -v")
                pane.keys("Up", "Left", "x", "Enter")
                pane.wait_for(arrows + "x")
                pane.keys("C-c")
                pane.wait_prompt()
                pane.type("echo after-$((1+2))")
                pane.wait_for("after-3")

    def test_ways_out_restore_the_terminal(self):
        cases = (
            ("exit status", lambda p: p.type("exit 7"), 7),
            ("tilde dot", lambda p: (p.keys("Enter"), p.keys("~."))[-1], 255),
            ("SIGTERM", lambda p: os.kill(self.client_pid(p), 15), 143),
            ("SIGHUP", lambda p: os.kill(self.client_pid(p), 1), 129),
        )
        for name, action, code in cases:
            with self.subTest(name):
                pane = self.pane()
                pane.wait_shell()
                action(pane)
                self.assertEqual((code, "RESTORED"), pane.wait_end())

    def test_a_commands_pty_passes_keys_and_tilde_dot_still_ends_it(self):
        pane = self.pane("-t", "echo go-$((6*7)); cat -v")
        pane.wait_for("go-42")  # keys typed before this would meet the local line discipline
        pane.type("a~b")
        pane.keys("Up")  # the remote program gets its key exactly as the terminal sent it
        pane.type("")
        pane.wait_for("^[[A")
        pane.type("~~x")
        self.assertNotIn("~~x", pane.wait_for("~x"))
        pane.keys("~.")
        self.assertEqual((255, "RESTORED"), pane.wait_end())
        self.assertIn("disconnected", pane.error_text())

    def test_tilde_dot_ends_a_session_whose_tunnel_reader_stalls(self):
        # The server's data waits for a local program that reads nothing,
        # so nothing more comes from the server; the keyboard still counts.
        with Target("source", size=64 * 1000 * 1000) as source:
            port = free_port()
            pane = self.pane("-L", "%d:127.0.0.1:%d" % (port, source.port))
            pane.wait_shell()
            with socket.create_connection(("127.0.0.1", port), timeout=WAIT_SECONDS) as stalled:
                self.assertEqual(len(stalled.recv(1)), 1)
                time.sleep(3)  # long enough for the source to fill every buffer on the way
                pane.keys("Enter")
                pane.keys("~.")
                self.assertEqual((255, "RESTORED"), pane.wait_end())

    def client_pid(self, pane):
        shell = pane.tmux("display", "-p", "#{pane_pid}").strip()
        children = subprocess.run(["pgrep", "-P", shell, "-x", "kestrel1"], capture_output=True, text=True).stdout
        return int(children.split()[0])

    def test_server_crash_ends_with_a_restored_terminal(self):
        server = ServerProcess()
        pane = Pane(self, server.port, "--accept-new-host-key")
        pane.wait_shell()
        server.proc.kill()
        self.assertEqual((255, "RESTORED"), pane.wait_end())
        self.assertIn("lost", pane.error_text())
        server.stop()

    def test_resize_reaches_the_server(self):
        pane = self.pane()
        pane.wait_shell()
        pane.tmux("resize-window", "-x", "100", "-y", "30")
        pane.type("stty size")
        pane.wait_for("30 100")

    def test_scrollback_view_and_indicator(self):
        pane = self.pane("--scrollback", "200")
        pane.wait_shell()
        pane.type("seq 1000 1150")
        pane.wait_for("1150")  # the echo of the command line
        pane.wait_prompt()     # the output, which the Enter after it started
        pane.keys("S-PPage")
        shown = pane.wait_for("scroll-back -23")
        self.assertIn("1105", shown)
        self.assertNotIn("1150", shown)
        pane.keys("S-Up")
        pane.wait_for("scroll-back -24")
        pane.keys("Enter")  # typing returns to the live screen
        pane.wait_prompt()
        pane.keys("~b")
        pane.wait_for("scroll-back -23")
        pane.keys("S-NPage")
        self.assertNotIn("scroll-back", pane.wait_prompt())

    def test_host_keys_first_seen_matching_and_changed(self):
        pane = Pane(self, self.server.port, password=PASSWORD)
        pane.wait_for("Trust it and remember it (yes/no)?")
        pane.type("no")
        self.assertEqual((253, "RESTORED"), pane.wait_end())
        self.assertFalse(os.path.exists(pane.known))

        pane = Pane(self, self.server.port)
        pane.wait_for("Trust it and remember it (yes/no)?")
        pane.type("yes")
        pane.wait_shell()
        pane.type("exit")
        self.assertEqual((0, "RESTORED"), pane.wait_end())
        self.assertEqual(0o600, os.stat(pane.known).st_mode & 0o777)
        with open(pane.known) as stream:
            entry = stream.read()

        matching = Pane(self, self.server.port, known=entry)
        matching.wait_shell()
        self.assertNotIn("not known", "\n".join(matching.screen()))

        words = entry.split()
        words[3] = str(int(words[3]) + 2)  # another modulus
        changed = Pane(self, self.server.port, known=" ".join(words) + "\n")
        self.assertEqual((253, "RESTORED"), changed.wait_end())
        self.assertIn("HAS CHANGED", "\n".join(changed.screen()))
        self.assertIn("remove line 1 of", changed.error_text())

    def test_compression_from_the_flag_and_from_ssh_config(self):
        text_lines = 20000
        folder = tempfile.mkdtemp(prefix="k1conf-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        config = os.path.join(folder, "config")
        with open(config, "w") as stream:
            stream.write("Host 127.0.0.?\n  Compression yes\n  CompressionLevel 9\n"
                         "Match exec true\n  Compression no\n")
        for name, args, level in (("-C", ["-C", "-F", "none"], 6), ("config", ["-F", config], 9)):
            with self.subTest(name):
                server = ServerProcess()
                pane = Pane(self, server.port, "--accept-new-host-key", *args)
                pane.wait_for("Compression enabled")
                pane.wait_shell()
                pane.type("seq 1 %d | sed 's/$/ of a listing that deflates well/'; echo done-$((2*4))" % text_lines)
                pane.wait_for("done-8")
                pane.type("exit")
                self.assertEqual((0, "RESTORED"), pane.wait_end())
                server.wait_for_log(r"compression at level %d$" % level)
                server.stop()
                line = next(x for x in server.lines if "compressed: sent" in x)
                sent, wire = (int(n) for n in line.split("sent ")[1].split(" bytes")[0].split(" -> "))
                self.assertGreater(sent, text_lines * 30)
                self.assertLess(wire * 4, sent)
                if name == "config":
                    self.assertIn("Match blocks are not evaluated", pane.error_text())

        refusing = ServerProcess("--no-compression")
        pane = Pane(self, refusing.port, "--accept-new-host-key", "-C")
        pane.wait_for("Warning - Server refused compression")
        pane.wait_shell()
        pane.type("exit")
        self.assertEqual((0, "RESTORED"), pane.wait_end())
        refusing.stop()

    def test_failures_have_their_exit_codes(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(0)
        queued = []
        for _ in range(3):  # fill the backlog: further connects get no answer
            queued.append(socket.socket())
            queued[-1].setblocking(False)
            queued[-1].connect_ex(silent.getsockname())
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        cases = (
            ("time-out", silent.getsockname()[1], ["--connect-timeout", "1"], PASSWORD, 251, "no answer within 1 s"),
            ("refused", closed.getsockname()[1], [], PASSWORD, 251, "cannot connect"),
            ("wrong password", self.server.port, ["--accept-new-host-key"], "wrong", 252, "login as"),
        )
        for name, port, args, password, code, text in cases:
            with self.subTest(name):
                pane = Pane(self, port, *args, password=password)
                self.assertEqual((code, "RESTORED"), pane.wait_end())
                self.assertIn(text, pane.error_text())
        for connection in queued + [silent, closed]:
            connection.close()


if __name__ == "__main__":
    unittest.main()
