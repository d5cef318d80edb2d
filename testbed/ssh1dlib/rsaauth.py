"""RSA authentication: the authorized-keys file and the challenge.

The server offers a random 32-byte challenge encrypted with the client's
public key (block type 2 padding of its minimal bytes, as real servers do,
so a challenge with a leading zero byte travels as 31 bytes); the client
proves the private key by answering MD5(challenge as 32 bytes || session id).
"""
import hashlib
import hmac
import secrets

from . import rsakeys

# Far above any real file; a bigger one is not read at all.
MAX_AUTHORIZED_KEYS_BYTES = 1024 * 1024
# A 16384-bit key in decimal with a long comment fits well within this.
MAX_LINE = 16 * 1024
MIN_KEY_BITS = 512
MAX_KEY_BITS = 16384
CHALLENGE_BYTES = 32
RESPONSE_BYTES = 16


class AuthorizedKey:
    def __init__(self, key, comment, line_number):
        self.key, self.comment, self.line_number = key, comment, line_number


def parse_line(line):
    """(RsaKey, comment) for a "bits e n [comment]" line, None otherwise."""
    if len(line) > MAX_LINE:
        return None
    parts = line.strip().split(None, 3)
    if len(parts) < 3 or not all(p.isdigit() and p.isascii() for p in parts[:3]):
        return None
    bits, e, n = (int(p) for p in parts[:3])
    if n.bit_length() != bits or not MIN_KEY_BITS <= bits <= MAX_KEY_BITS or e % 2 == 0 or e >= n:
        return None
    return rsakeys.RsaKey(n, e), parts[3] if len(parts) > 3 else ""


def load(path, log):
    """Every usable key of the file, read afresh for each attempt."""
    try:
        with open(path, "rb") as handle:
            data = handle.read(MAX_AUTHORIZED_KEYS_BYTES + 1)
    except OSError as exc:
        log("cannot read the authorized keys %s: %s" % (path, exc.strerror))
        return []
    if len(data) > MAX_AUTHORIZED_KEYS_BYTES:
        log("authorized keys %s larger than %d bytes; ignored" % (path, MAX_AUTHORIZED_KEYS_BYTES))
        return []
    keys = []
    for number, raw in enumerate(data.decode("latin-1").splitlines(), 1):
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        parsed = parse_line(raw)
        if parsed is None:
            log("authorized keys %s line %d is not a protocol 1 key; skipped" % (path, number))
            continue
        keys.append(AuthorizedKey(parsed[0], parsed[1], number))
    return keys


def find(keys, modulus):
    for entry in keys:
        if entry.key.n == modulus:
            return entry
    return None


def make_challenge(key):
    """(challenge bytes, encrypted value for the challenge message)."""
    value = secrets.randbits(CHALLENGE_BYTES * 8)
    return value.to_bytes(CHALLENGE_BYTES, "big"), rsakeys.public_encrypt(key, value)


def response_ok(challenge, session_id, response):
    expected = hashlib.md5(challenge + session_id).digest()
    return len(response) == RESPONSE_BYTES and hmac.compare_digest(response, expected)
