#!/usr/bin/python3
"""A flood of output through an interactive client inside tmux.

kestrel1 and Debian's protocol-1 client (ssh1 -1 -c 3des) each log in to the
same ssh1d in a tmux pane of 80 by 24, the remote shell runs `cat` of a text
file, and the run reports for each client: wall time from the command to the
client's end, the client's CPU seconds (user + system, from wait4), and the
bytes the client wrote to its terminal per MB of file (tmux pipe-pane).

    bench/client/tmux_flood.py [--megabytes 50] [--repetitions 3]

KESTREL1 names the client (default build/native/posix/kestrel1).
"""
import argparse
import json
import os
import resource
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "testbed", "tests"))
from harness import PASSWORD, USER, ServerProcess  # noqa: E402

KESTREL1 = os.environ.get("KESTREL1", os.path.join(ROOT, "build", "native", "tools", "kestrel1", "kestrel1"))
OPENSSL_LEGACY = """openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
default = default_sect
legacy = legacy_sect
[default_sect]
activate = 1
[legacy_sect]
activate = 1
"""
WAIT_SECONDS = 600  # the slowest flood on a loaded machine ends well within this


def measure(out, command):
    """Runs the command on this terminal; writes its end time and CPU seconds."""
    status = subprocess.run(command).returncode
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(out, "w") as stream:
        json.dump({"end": time.time(), "cpu": usage.ru_utime + usage.ru_stime, "status": status}, stream)


def make_data(path, megabytes):
    line = "".join(chr(33 + i % 94) for i in range(72))
    with open(path, "w") as stream:
        written, n = 0, 0
        while written < megabytes * 1_000_000:
            text = "%08d %s\n" % (n, line[n % 94:] + line[:n % 94])
            stream.write(text)
            written += len(text)
            n += 1


def tmux(socket, *args):
    return subprocess.run(["tmux", "-L", socket, "-f", "/dev/null"] + list(args),
                          check=True, capture_output=True, text=True).stdout


def wait(predicate, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise SystemExit("bench: %s did not happen within %d s" % (what, WAIT_SECONDS))


def run_once(name, command, environment, data, folder):
    socket = "k1bench-%d" % os.getpid()
    result, count = os.path.join(folder, "result"), os.path.join(folder, "count")
    for path in (result, count):
        if os.path.exists(path):
            os.remove(path)
    wrapped = [sys.executable, os.path.abspath(__file__), "--measure", result, "--"] + command
    if name == "ssh1":  # sshpass stays outside the measured process
        wrapped = ["sshpass", "-p", PASSWORD] + wrapped
    exports = " ".join("%s=%s" % (k, shlex.quote(v)) for k, v in environment.items())
    tmux(socket, "new-session", "-d", "-x", "80", "-y", "24",
         "env %s %s" % (exports, " ".join(shlex.quote(a) for a in wrapped)))
    try:
        wait(lambda: tmux(socket, "capture-pane", "-p").rstrip().endswith("#"), "the shell prompt")
        tmux(socket, "pipe-pane", "-O", "exec wc -c > %s" % shlex.quote(count))
        start = time.time()
        tmux(socket, "send-keys", "-l", "cat %s; exit" % data)
        tmux(socket, "send-keys", "Enter")
        wait(lambda: os.path.exists(result) and os.path.getsize(result) > 0, "the client's end")
        wait(lambda: os.path.exists(count) and os.path.getsize(count) > 0, "the byte count")
    finally:
        subprocess.run(["tmux", "-L", socket, "kill-server"], capture_output=True)
    with open(result) as stream:
        outcome = json.load(stream)
    with open(count) as stream:
        written = int(stream.read().split()[0])
    return {"wall": outcome["end"] - start, "cpu": outcome["cpu"], "bytes": written, "status": outcome["status"]}


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--measure":
        return measure(sys.argv[2], sys.argv[4:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--megabytes", type=float, default=50)
    parser.add_argument("--repetitions", type=int, default=3)
    options = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="k1bench-")
    data = os.path.join(folder, "data.txt")
    make_data(data, options.megabytes)
    conf = os.path.join(folder, "openssl.cnf")
    with open(conf, "w") as stream:
        stream.write(OPENSSL_LEGACY)
    server = ServerProcess()
    base = {"TERM": "screen", "LANG": "C.UTF-8", "XDG_CONFIG_HOME": folder, "XDG_STATE_HOME": folder}
    clients = {
        "kestrel1": ([KESTREL1, "--accept-new-host-key", "-c", "3des", "-p", str(server.port), USER + "@127.0.0.1"],
                     dict(base, KESTREL_PASSWORD=PASSWORD)),
        "ssh1": (["ssh1", "-1", "-F", "/dev/null", "-o", "UserKnownHostsFile=" + os.path.join(folder, "known"),
                  "-o", "StrictHostKeyChecking=no", "-c", "3des", "-p", str(server.port), USER + "@127.0.0.1"],
                 dict(base, OPENSSL_CONF=conf)),
    }
    samples = {name: [] for name in clients}
    try:
        for _ in range(options.repetitions):
            for name, (command, environment) in clients.items():
                samples[name].append(run_once(name, command, environment, data, folder))
    finally:
        server.stop()
        subprocess.run(["rm", "-rf", folder])
    print("cat of %.0f MB in an 80x24 tmux pane, ssh1d on loopback, 3DES, median of %d"
          % (options.megabytes, options.repetitions))
    labels = {"kestrel1": "kestrel1", "ssh1": "Debian ssh1 -1 -c 3des"}
    for name, runs in samples.items():
        wall = statistics.median(r["wall"] for r in runs)
        cpu = statistics.median(r["cpu"] for r in runs)
        written = statistics.median(r["bytes"] for r in runs)
        print("  %-24s wall %6.2f s (%5.1f MB/s)  client CPU %5.2f s (%.3f s/MB)  terminal %9.0f bytes/MB  exit %s"
              % (labels[name], wall, options.megabytes / wall, cpu, cpu / options.megabytes,
                 written / options.megabytes, ",".join(str(r["status"]) for r in runs)))


if __name__ == "__main__":
    main()
