"""The user's shell or command, on a pseudo-terminal or on pipes."""
import fcntl
import os
import pwd
import select
import signal
import struct
import subprocess
import termios
import threading
import time

STDOUT, STDERR = "stdout", "stderr"
# Large reads keep the packet count (and per-packet overhead) down on bulk output.
READ_CHUNK = 32 * 1024
# Output read ahead of the sender; beyond this the child waits, as it
# would on a slow network.
MAX_BUFFERED_OUTPUT = 256 * 1024
# A read at least this large means a bulk transfer rather than typing echo.
BULK_OUTPUT = 4000
BULK_WAIT_SECONDS = 0.002
# How often the output loop looks at whether the child has gone; a background
# job that keeps the terminal open must not keep the session alive.
EXIT_POLL_SECONDS = 0.2
# A reader notices the closing flag within one poll interval.
READER_STOP_SECONDS = 5 * EXIT_POLL_SECONDS
# Grace between the hang-up signal and the kill when a session is torn down.
KILL_GRACE_SECONDS = 2.0


class _OutputQueue:
    """Output waiting to be sent, in arrival order, merged per stream."""

    def __init__(self, sources):
        self._cond = threading.Condition()
        self._pending = []  # [kind, bytearray] pairs
        self._size = 0
        self._open = sources
        self._aborted = False

    def abort(self):
        """Nothing more will be taken: release readers waiting for room."""
        with self._cond:
            self._aborted = True
            self._cond.notify_all()

    def put(self, kind, data):
        with self._cond:
            while self._size >= MAX_BUFFERED_OUTPUT and not self._aborted:
                self._cond.wait()
            if self._pending and self._pending[-1][0] == kind:
                self._pending[-1][1] += data
            else:
                self._pending.append([kind, bytearray(data)])
            self._size += len(data)
            self._cond.notify_all()

    def close_one(self):
        with self._cond:
            self._open -= 1
            self._cond.notify_all()

    def finished(self):
        with self._cond:
            return not self._open and not self._pending

    def take(self, timeout):
        """(kind, up to READ_CHUNK bytes), or None if nothing came in time."""
        with self._cond:
            deadline = time.monotonic() + timeout
            while not self._pending and self._open:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            if not self._pending:
                return None
            kind, buf = self._pending[0]
            if len(buf) >= BULK_OUTPUT and self._open:
                # Bulk output: a moment's wait fills a whole packet, which
                # costs far less per byte than several small ones.
                deadline = time.monotonic() + BULK_WAIT_SECONDS
                while len(buf) < READ_CHUNK and len(self._pending) == 1 and self._open:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        break
                    self._cond.wait(left)
            data = bytes(buf[:READ_CHUNK])
            del buf[:READ_CHUNK]
            if not buf:
                self._pending.pop(0)
            self._size -= len(data)
            self._cond.notify_all()
            return kind, data


class PtySettings:
    def __init__(self, term, rows, cols, xpixels, ypixels):
        self.term = term
        self.size = (rows, cols, xpixels, ypixels)


def _winsize(rows, cols, xpixels, ypixels):
    clamp = lambda v: max(0, min(v, 0xFFFF))
    return struct.pack("HHHH", clamp(rows), clamp(cols), clamp(xpixels), clamp(ypixels))


def _take_controlling_tty():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def user_environment(shell, term):
    entry = pwd.getpwuid(os.getuid())
    home = os.environ.get("HOME") or entry.pw_dir
    env = {"HOME": home, "USER": entry.pw_name, "LOGNAME": entry.pw_name, "SHELL": shell,
           "PATH": os.environ.get("PATH", "/usr/local/bin:/usr/bin:/bin")}
    for name in ("LANG", "LC_ALL", "TZ"):
        if name in os.environ:
            env[name] = os.environ[name]
    if term:
        env["TERM"] = term
    return env


class Child:
    def __init__(self, shell, command, pty_settings):
        self.pty = pty_settings
        argv = [shell] if command is None else [os.fsencode(shell), b"-c", command]
        env = user_environment(shell, pty_settings.term if pty_settings else None)
        cwd = env["HOME"] if os.path.isdir(env["HOME"]) else "/"
        if pty_settings:
            master, slave = os.openpty()
            try:
                fcntl.ioctl(slave, termios.TIOCSWINSZ, _winsize(*pty_settings.size))
                self.proc = subprocess.Popen(
                    argv, stdin=slave, stdout=slave, stderr=slave, env=env, cwd=cwd,
                    start_new_session=True, preexec_fn=_take_controlling_tty)
            except BaseException:
                os.close(master)
                raise
            finally:
                os.close(slave)
            self.master = master
            self.outputs = {master: STDOUT}
            self._stdin_fd = master
        else:
            self.proc = subprocess.Popen(
                argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                env=env, cwd=cwd, start_new_session=True, bufsize=0)
            self.master = None
            self.outputs = {self.proc.stdout.fileno(): STDOUT, self.proc.stderr.fileno(): STDERR}
            self._stdin_fd = self.proc.stdin.fileno()
        self.pid = self.proc.pid
        self._readers = []
        self._outputs = None
        self._closing = threading.Event()

    def write_stdin(self, data):
        view = memoryview(data)
        while view and self._stdin_fd is not None:
            try:
                view = view[os.write(self._stdin_fd, view):]
            except OSError:
                return  # the child is gone; typed input has nowhere to go

    def close_stdin(self):
        if self.master is None and self._stdin_fd is not None:
            self.proc.stdin.close()
            self._stdin_fd = None

    def resize(self, rows, cols, xpixels, ypixels):
        if self.master is not None:
            try:
                fcntl.ioctl(self.master, termios.TIOCSWINSZ, _winsize(rows, cols, xpixels, ypixels))
            except OSError:
                pass

    def pump(self, emit):
        """Feed output to emit(kind, bytes) until the child has gone; return its status.

        Reader threads keep draining the child while this thread encrypts and
        sends, so a terminal's small buffer never leaves the child waiting.
        """
        outputs = self._outputs = _OutputQueue(len(self.outputs))
        for fd, kind in self.outputs.items():
            reader = threading.Thread(target=self._read_all, args=(fd, kind, outputs),
                                      name="ssh1d-read-%d" % self.pid, daemon=True)
            self._readers.append(reader)
            reader.start()
        exited = False
        while True:
            item = outputs.take(EXIT_POLL_SECONDS)
            if item is not None:
                emit(*item)
            elif outputs.finished() or exited:
                break
            else:
                # Output may still be on its way when the exit is first seen;
                # only a whole quiet interval after it ends the session.
                exited = self.proc.poll() is not None
        return self.exit_status()

    def _read_all(self, fd, kind, outputs):
        # The descriptor is closed only after this loop has seen the closing
        # flag, so its number can never be reused under a pending read.
        while True:
            if not select.select([fd], [], [], EXIT_POLL_SECONDS)[0]:
                if self._closing.is_set():
                    outputs.close_one()
                    return
                continue
            try:
                data = os.read(fd, READ_CHUNK)
            except OSError:  # EIO: every holder of the terminal has closed it
                data = b""
            if not data:
                outputs.close_one()
                return
            outputs.put(kind, data)

    def exit_status(self):
        """The exit code, or minus the number of the signal that ended the child."""
        return self.proc.wait()

    def terminate(self):
        """Hang up the child's whole process group, then make sure it is gone."""
        if self.proc.poll() is None:
            self._signal_group(signal.SIGHUP)
            deadline = time.monotonic() + KILL_GRACE_SECONDS
            while self.proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            if self.proc.poll() is None:
                self._signal_group(signal.SIGKILL)
                self.proc.wait()
        self._signal_group(signal.SIGHUP)  # stragglers left in the group

    def hangup(self):
        self._signal_group(signal.SIGHUP)

    def _signal_group(self, sig):
        try:
            os.killpg(self.pid, sig)
        except OSError:
            pass

    def close(self):
        self._closing.set()
        if self._outputs is not None:
            self._outputs.abort()
        for reader in self._readers:
            reader.join(READER_STOP_SECONDS)
        if any(reader.is_alive() for reader in self._readers):
            return  # leave the descriptors open rather than let a reader see a reused number
        if self.master is not None:
            os.close(self.master)
            self.master = None
            self._stdin_fd = None
        else:
            for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
                try:
                    stream.close()
                except OSError:
                    pass
