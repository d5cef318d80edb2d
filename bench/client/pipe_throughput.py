#!/usr/bin/python3
"""Throughput of a bulk pipe both ways through ssh1d, kestrel1 beside Debian's ssh1 in the same run.

Down: `cat FILE` on the far side into the client's stdout (read here and
counted). Up: the file on the client's stdin into `wc -c` on the far side.
Wall-clock MB/s and the client's CPU seconds per MB (from the children's
resource usage, so sshpass's trifle is included for ssh1).
Usage: pipe_throughput.py [--megabytes 100] [--kestrel1 PATH]
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "testbed", "tests"))
from harness import PASSWORD, USER, ServerProcess  # noqa: E402
from test_interop import OPENSSL_LEGACY_CONF, client_command  # noqa: E402

CHUNK = 1 << 20


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(args, env, command, path, size, upload):
    cpu, started = children_cpu(), time.monotonic()
    with open(path, "rb") as source:
        proc = subprocess.Popen(args + [command], env=env, stdin=source if upload else subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        received = 0
        tail = b""
        while True:
            block = proc.stdout.read(CHUNK)
            if not block:
                break
            received += len(block)
            tail = (tail + block)[-64:]
        proc.wait()
    elapsed, cpu = time.monotonic() - started, children_cpu() - cpu
    if upload:
        assert tail.strip() == str(size).encode(), tail
    else:
        assert received == size, received
    assert proc.returncode == 0, proc.returncode
    return elapsed, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=int, default=100)
    parser.add_argument("--kestrel1", default=os.path.join(ROOT, "build", "native", "posix", "kestrel1"))
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="pipe-bench-")
    size = args.megabytes * 1000 * 1000
    path = os.path.join(folder, "data.bin")
    with open(path, "wb") as handle:
        for _ in range(size // CHUNK):
            handle.write(os.urandom(CHUNK))
        handle.write(os.urandom(size % CHUNK))
    conf = os.path.join(folder, "openssl.cnf")
    with open(conf, "w") as handle:
        handle.write(OPENSSL_LEGACY_CONF)
    env = dict(os.environ, OPENSSL_CONF=conf, KESTREL_PASSWORD=PASSWORD, XDG_STATE_HOME=folder,
               XDG_CONFIG_HOME=folder)
    server = ServerProcess("--ciphers-mask", "0x4c", host_key_bits=2048)
    try:
        print("%d MB each way through ssh1d on loopback, load %.1f" % (args.megabytes, os.getloadavg()[0]))
        print("%-9s %-8s %-5s %9s %12s" % ("client", "cipher", "way", "MB/s", "CPU s/MB"))
        for cipher in ("3des", "des", "blowfish"):
            clients = [("kestrel1", [args.kestrel1, "-q", "--accept-new-host-key", "-c", cipher,
                                     "-p", str(server.port), USER + "@127.0.0.1"])]
            if cipher != "blowfish":  # Debian's ssh1 crashes in its Blowfish key setup
                base = client_command(folder, server.port, PASSWORD, ["-c", cipher], [])
                clients.append(("ssh1", [word for word in base if word != "-v"]))
            for name, argv in clients:
                for upload in (False, True):
                    command = "wc -c" if upload else "cat " + path
                    elapsed, cpu = timed(argv, env, command, path, size, upload)
                    print("%-9s %-8s %-5s %9.1f %12.4f" % (name, cipher, "up" if upload else "down",
                                                          size / 1e6 / elapsed, cpu / (size / 1e6)), flush=True)
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
