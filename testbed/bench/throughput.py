#!/usr/bin/python3
"""Bulk shell-output throughput of ssh1d (median of several runs).

Streams `cat` of a file of --megabytes through ssh1d: to a client that skips
what it receives unread (the server's own rate), to the package's own client
under Blowfish and Triple-DES (it decrypts everything, so the figure includes
the client's share of the cores), and to Debian's protocol-1 client under
Triple-DES.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from harness import PASSWORD, USER, ServerProcess  # noqa: E402
from test_interop import OPENSSL_LEGACY_CONF, client_command  # noqa: E402

from ssh1dlib import wire  # noqa: E402
from ssh1dlib.client import Client  # noqa: E402


def own_client(port, cipher, path, size, pty=False):
    received = [0]

    def sink(data):
        received[0] += len(data)

    with Client("127.0.0.1", port, timeout=120) as client:
        client.connect(USER, PASSWORD, cipher)
        if pty:
            assert client.request_pty() == wire.SMSG_SUCCESS
        started = time.monotonic()
        _, _, status = client.run("cat " + path, sink=sink)
        elapsed = time.monotonic() - started
    assert status == 0 and received[0] == size, (status, received[0])
    return elapsed


def discarding_client(port, cipher, path, size, pty=False):
    """Reads packet lengths and skips the bodies: the server's share alone."""
    with Client("127.0.0.1", port, timeout=120) as client:
        client.connect(USER, PASSWORD, cipher)
        if pty:
            assert client.request_pty() == wire.SMSG_SUCCESS
        started = time.monotonic()
        client.send(wire.CMSG_EXEC_CMD, wire.string("cat " + path))
        transport, payload = client.transport, 0
        # Every stdout packet carries 9 bytes besides its data (type, string
        # length, check); the last packets may be shorter than that estimate.
        while payload < size - 64:
            length = int.from_bytes(transport.read_exact(4), "big")
            transport.read_exact(length + wire.pad_length(length))
            payload += length - 9
        return time.monotonic() - started


def debian_client(port, folder, path, size):
    conf = os.path.join(folder, "openssl.cnf")
    with open(conf, "w") as handle:
        handle.write(OPENSSL_LEGACY_CONF)
    args = client_command(folder, port, PASSWORD, [], ["cat " + path])
    args.remove("-v")
    started = time.monotonic()
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, OPENSSL_CONF=conf), timeout=600)
    elapsed = time.monotonic() - started
    assert result.returncode == 0 and len(result.stdout) == size, (result.returncode, len(result.stdout))
    return elapsed


def cpu_seconds(pid):
    """User plus system time of the server process so far (load-independent)."""
    with open("/proc/%d/stat" % pid) as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--megabytes", type=int, default=50)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.megabytes * 1000 * 1000
    folder = tempfile.mkdtemp(prefix="ssh1d-bench-")
    try:
        path = os.path.join(folder, "payload")
        payload = os.urandom(size)
        with open(path, "wb") as handle:
            handle.write(payload)
        on_pty = size + payload.count(b"\n")  # the terminal turns LF into CR LF
        with ServerProcess(host_key_bits=2048) as server:
            cases = [("ssh1d alone, blowfish, pty",
                      lambda: discarding_client(server.port, wire.CIPHER_BLOWFISH, path, on_pty, True)),
                     ("ssh1d alone, blowfish",
                      lambda: discarding_client(server.port, wire.CIPHER_BLOWFISH, path, size)),
                     ("ssh1d alone, 3des, pty",
                      lambda: discarding_client(server.port, wire.CIPHER_3DES, path, on_pty, True)),
                     ("ssh1d -> own client, blowfish, pty",
                      lambda: own_client(server.port, wire.CIPHER_BLOWFISH, path, on_pty, True)),
                     ("ssh1d -> own client, blowfish",
                      lambda: own_client(server.port, wire.CIPHER_BLOWFISH, path, size)),
                     ("ssh1d -> own client, 3des",
                      lambda: own_client(server.port, wire.CIPHER_3DES, path, size)),
                     ("ssh1d -> Debian ssh1, 3des",
                      lambda: debian_client(server.port, folder, path, size))]
            for name, run in cases:
                times, cpu = [], []
                for _ in range(args.runs):
                    before = cpu_seconds(server.proc.pid)
                    times.append(run())
                    cpu.append(cpu_seconds(server.proc.pid) - before)
                print("%-36s %6.1f MB/s wall, %6.1f MB per ssh1d CPU-second  (median of %d, %d MB)"
                      % (name, size / statistics.median(times) / 1e6,
                         size / statistics.median(cpu) / 1e6, args.runs, args.megabytes))
                sys.stdout.flush()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
