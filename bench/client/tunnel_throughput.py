#!/usr/bin/python3
"""Throughput of a local port forward (-L) through ssh1d, kestrel1 beside Debian's ssh1 in the same run.

Each client forwards two local ports, one to a sink and one to a source on
loopback, while its remote command sleeps. Up: random bytes sent into the
sink's port until the sink has read them all and closed (the close comes
back through the tunnel). Down: the source's bytes read to EOF. Both are
checked by SHA-256 and timed by the wall clock.
Usage: tunnel_throughput.py [--megabytes 50] [--kestrel1 PATH]
"""
import argparse
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "testbed", "tests"))
from harness import PASSWORD, USER, ServerProcess  # noqa: E402
from targets import Target, drain, free_port, send_all_then_eof  # noqa: E402
from test_interop import OPENSSL_LEGACY_CONF, client_command  # noqa: E402

READY_SECONDS = 60


def connect_when_listening(port):
    deadline = time.monotonic() + READY_SECONDS
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port))
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def upload(port, data, sink):
    sock = connect_when_listening(port)
    started = time.monotonic()
    with sock:
        send_all_then_eof(sock, data)
        drain(sock)  # ends when the sink's close has come back through the tunnel
    elapsed = time.monotonic() - started
    assert sink.received[-1] == (len(data), hashlib.sha256(data).hexdigest()), sink.received[-1:]
    return elapsed


def download(port, size, source):
    sock = connect_when_listening(port)
    started = time.monotonic()
    with sock:
        count, digest = drain(sock)
    elapsed = time.monotonic() - started
    assert (count, digest) == (size, source.sent_digests[-1]), (count, size)
    return elapsed


def client_args(name, folder, server_port, forwards, kestrel1):
    options = [word for pair in forwards for word in ("-L", "%d:127.0.0.1:%d" % pair)]
    if name == "ssh1":
        base = client_command(folder, server_port, PASSWORD, options, ["sleep 600"])
        return [word for word in base if word != "-v"]
    return [kestrel1, "-q", "--accept-new-host-key", "-o",
            "UserKnownHostsFile=" + os.path.join(folder, "kestrel1_known_hosts"), "-F", "none",
            "-p", str(server_port)] + options + [USER + "@127.0.0.1", "sleep 600"]


def client_cpu_seconds(proc, name):
    """User and system time of the client itself (ssh1 runs under sshpass):
    with the server as the limit, what each client spends is the difference."""
    pid = proc.pid
    if name == "ssh1":
        with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
            pid = int(children.read().split()[0])
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(name, server, folder, env, data, sink, source, kestrel1):
    up_port, down_port = free_port(), free_port()
    args = client_args(name, folder, server.port, [(up_port, sink.port), (down_port, source.port)], kestrel1)
    number = server.last_session() + 1
    proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        server.wait_for_log(r"\[%d\] started command 'sleep 600'" % number, timeout=READY_SECONDS)
        up = upload(up_port, data, sink)
        down = download(down_port, len(data), source)
        # The last close messages may still be on their way when the bytes are in.
        server.wait_for_log(r"\[%d\] channel \d+ closed" % number, count=2)
        cpu = client_cpu_seconds(proc, name)
    finally:
        proc.terminate()
        proc.wait(READY_SECONDS)
    server.wait_for_log(r"\[%d\] channels left open: 0" % number)
    return up, down, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=int, default=50)
    parser.add_argument("--kestrel1", default=os.path.join(ROOT, "build", "native", "posix", "kestrel1"))
    args = parser.parse_args()
    size = args.megabytes * 1000 * 1000
    data = os.urandom(size)
    clients = ["ssh1"]
    if os.access(args.kestrel1, os.X_OK):
        clients.append("kestrel1")
    else:
        print("no kestrel1 at %s; Debian's ssh1 alone" % args.kestrel1)
    folder = tempfile.mkdtemp(prefix="tunnel-bench-")
    conf = os.path.join(folder, "openssl.cnf")
    with open(conf, "w") as handle:
        handle.write(OPENSSL_LEGACY_CONF)
    env = dict(os.environ, OPENSSL_CONF=conf, KESTREL_PASSWORD=PASSWORD, XDG_STATE_HOME=folder,
               XDG_CONFIG_HOME=folder)
    server = ServerProcess(host_key_bits=2048)
    try:
        with Target("sink") as sink, Target("source", size) as source:
            print("%d MB each way through -L and ssh1d (3des) on loopback, load %.1f"
                  % (args.megabytes, os.getloadavg()[0]))
            print("%-9s %12s %12s %14s" % ("client", "up MB/s", "down MB/s", "client CPU s"))
            for name in clients:
                up, down, cpu = measure(name, server, folder, env, data, sink, source, args.kestrel1)
                print("%-9s %12.1f %12.1f %14.2f" % (name, size / 1e6 / up, size / 1e6 / down, cpu), flush=True)
    except BaseException:
        print("\n".join(server.lines[-40:]), file=sys.stderr)
        raise
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
