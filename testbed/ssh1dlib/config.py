"""Settings shared by the listener and every session."""
import dataclasses

from .faults import Faults

# Time a client has from connecting to starting its shell.
DEFAULT_LOGIN_GRACE_SECONDS = 120
# Concurrent sessions beyond this are turned away at once; each costs a
# thread, a child process and possibly a terminal.
DEFAULT_MAX_SESSIONS = 32

DEFAULT_CIPHERS_MASK = 0x48
VERSION_LINE = "SSH-1.5-ssh1d_1.0"


@dataclasses.dataclass
class Config:
    user: str
    password: str
    shell: str = "/bin/sh"
    ciphers_mask: int = DEFAULT_CIPHERS_MASK
    server_key_bits: int = 768
    host_key_bits: int = 2048
    login_grace: float = DEFAULT_LOGIN_GRACE_SECONDS
    max_sessions: int = DEFAULT_MAX_SESSIONS
    # Most output bytes per data packet in a pty session; 0 leaves it to the
    # default chunk. Real servers send at most 512 there.
    pty_packet_data: int = 0
    # A log line per received packet: type, length field, time.
    log_packets: bool = False
    # Grant a client's compression request (as real servers do, at levels 1-9).
    compression: bool = True
    # The authorized-keys file for RSA authentication; None refuses RSA.
    authorized_keys: str = None
    # Grant port forwarding both ways (-L and -R of the clients).
    forwarding: bool = True
    # Server-side forwarded ports are opened on the address ssh1d listens on.
    listen: str = "127.0.0.1"
    faults: Faults = dataclasses.field(default_factory=Faults)
