"""Command line of ssh1d."""
import argparse
import os
import sys

from . import faults as faults_module
from . import rsakeys
from .config import (DEFAULT_CIPHERS_MASK, DEFAULT_LOGIN_GRACE_SECONDS, DEFAULT_MAX_SESSIONS,
                     Config)
from .faults import FaultError, Faults
from .session import DEFAULT_DATA_CHUNK
from .server import Server, ServerKeys, install_signal_handlers, log

DEFAULT_REGEN_SECONDS = 3600
# The project's release, as the clients write it; the build checks the two agree.
RELEASE = "1.00.46"

EPILOG = """faults (repeat --fault for several; packet N counts the packets ssh1d sends,
the public-key message being 1 and the first encrypted packet 2):
%s

log: every line on stderr starts with "ssh1d: "; once the socket is bound it prints
"ssh1d: listening on ADDRESS:PORT" (with the real port when --port 0 was given).
""" % faults_module.describe()


def _default_state_dir():
    base = os.environ.get("XDG_STATE_HOME") or os.path.expanduser("~/.local/state")
    return os.path.join(base, "ssh1d")


def _regen(value):
    if value == "per-connection":
        return None
    seconds = float(value)
    if seconds <= 0:
        raise argparse.ArgumentTypeError("must be positive seconds or per-connection")
    return seconds


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="ssh1d", description="SSH protocol 1.5 server for testing terminal clients.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="ssh1d " + RELEASE)
    parser.add_argument("--listen", default="127.0.0.1", metavar="ADDRESS",
                        help="address to bind (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=2222,
                        help="TCP port (default 2222; 0 picks a free one)")
    parser.add_argument("--user", required=True, help="the one user name that may log in")
    parser.add_argument("--password", required=True, help="that user's password")
    parser.add_argument("--authorized-keys", metavar="FILE",
                        help="protocol 1 public keys (\"bits e n comment\" lines) that may log in as "
                        "the user by RSA authentication; read at every attempt")
    parser.add_argument("--shell", default="/bin/sh", help="program run for the session (default /bin/sh)")
    parser.add_argument("--ciphers-mask", type=lambda v: int(v, 0), default=DEFAULT_CIPHERS_MASK,
                        metavar="MASK", help="supported-ciphers mask, bit 1<<N for cipher N "
                        "(default 0x48: 3DES and Blowfish)")
    parser.add_argument("--allow-none", action="store_true",
                        help="also offer and accept cipher 0 (no encryption)")
    parser.add_argument("--state-dir", default=_default_state_dir(),
                        help="folder of the persistent host key (default %(default)s)")
    parser.add_argument("--host-key-bits", type=int, choices=(1024, 2048), default=2048,
                        help="size of a newly generated host key (default 2048)")
    parser.add_argument("--server-key-bits", type=int, default=768,
                        help="size of the server key (default 768)")
    parser.add_argument("--server-key-regen", type=_regen, default=DEFAULT_REGEN_SECONDS,
                        metavar="SECONDS|per-connection",
                        help="server key lifetime (default %d s)" % DEFAULT_REGEN_SECONDS)
    parser.add_argument("--login-grace", type=float, default=DEFAULT_LOGIN_GRACE_SECONDS,
                        metavar="SECONDS", help="time from connecting to starting the shell "
                        "(default %(default)g)")
    parser.add_argument("--max-sessions", type=int, default=DEFAULT_MAX_SESSIONS, metavar="N",
                        help="concurrent sessions; more are turned away (default %(default)d)")
    parser.add_argument("--pty-packet-data", type=int, default=0, metavar="BYTES",
                        help="at most BYTES of output per data packet in a pty session, as real "
                        "servers send 512 (default: up to %d)" % DEFAULT_DATA_CHUNK)
    parser.add_argument("--log-packets", action="store_true",
                        help="log the type, length field and arrival time of every packet received")
    parser.add_argument("--no-compression", action="store_true",
                        help="refuse the client's compression request")
    parser.add_argument("--no-forwarding", action="store_true",
                        help="refuse port forwarding requests and channel opens")
    parser.add_argument("--fault", action="append", default=[], metavar="NAME[=ARG]",
                        help="misbehave on purpose (see below)")
    args = parser.parse_args(argv)
    try:
        args.faults = Faults(args.fault)
    except FaultError as exc:
        parser.error(str(exc))
    if not 0 <= args.ciphers_mask <= 0xFFFFFFFF:
        parser.error("--ciphers-mask must fit in 32 bits")
    if args.allow_none:
        args.ciphers_mask |= 1
    if args.login_grace <= 0 or args.max_sessions < 1:
        parser.error("--login-grace and --max-sessions must be positive")
    if not os.access(args.shell, os.X_OK):
        parser.error("--shell %s is not an executable program" % args.shell)
    if not 0 <= args.pty_packet_data <= DEFAULT_DATA_CHUNK:
        parser.error("--pty-packet-data must be 0 to %d" % DEFAULT_DATA_CHUNK)
    if not 0 <= args.port <= 65535:
        parser.error("--port must be 0 to 65535")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        host = rsakeys.load_or_create(os.path.join(args.state_dir, "host_key"),
                                      args.host_key_bits, log)
    except (OSError, ValueError) as exc:
        log("cannot use the host key: %s" % exc)
        return 2
    log("host key %d bits, fingerprint %s" % (host.bits, host.fingerprint()))
    server_bits = args.server_key_bits
    if "close-keys" in args.faults:
        server_bits = host.bits - 8
        log("fault: server key of %d bits, too close to the host key" % server_bits)
    elif server_bits + rsakeys.MIN_KEY_BITS_GAP > host.bits or server_bits < 512 or server_bits % 2:
        log("server key must have an even number of bits, at least 512 and %d fewer than the host key"
            % rsakeys.MIN_KEY_BITS_GAP)
        return 2
    config = Config(user=args.user, password=args.password, shell=args.shell,
                    ciphers_mask=args.ciphers_mask, server_key_bits=server_bits,
                    host_key_bits=host.bits, login_grace=args.login_grace,
                    max_sessions=args.max_sessions, pty_packet_data=args.pty_packet_data,
                    log_packets=args.log_packets, compression=not args.no_compression,
                    authorized_keys=args.authorized_keys,
                    forwarding=not args.no_forwarding, listen=args.listen, faults=args.faults)
    keys = ServerKeys(host, server_bits, args.server_key_regen)
    keys.start()
    try:
        server = Server(config, keys, args.listen, args.port)
    except OSError as exc:
        log("cannot listen on %s:%d: %s" % (args.listen, args.port, exc))
        return 1
    install_signal_handlers(server)
    server.serve()
    return 0
