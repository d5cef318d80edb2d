"""Settings shared by the listener and every session."""
import dataclasses

from .faults import Faults

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
    faults: Faults = dataclasses.field(default_factory=Faults)
