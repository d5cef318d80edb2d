"""RSA keys with plain integers: generation, storage, the padded block and
the two-layer session-key wrapping."""
import hashlib
import json
import os
import secrets
import tempfile

from Cryptodome.Util.number import getPrime, inverse

from .wire import ProtocolError

PUBLIC_EXPONENT = 65537
# The block-type-2 padding must hide the payload behind at least this many
# random bytes; a shorter pad means the peer mis-sized its keys.
MIN_PAD_BYTES = 8
# The inner layer must fit inside the outer modulus with room for a full pad.
MIN_KEY_BITS_GAP = 128


class RsaKey:
    def __init__(self, n, e, d=None, p=None, q=None):
        self.n, self.e, self.d, self.p, self.q = n, e, d, p, q
        if p and q:
            self._dp = d % (p - 1)
            self._dq = d % (q - 1)
            self._qinv = inverse(q, p)

    @property
    def bits(self):
        return self.n.bit_length()

    @property
    def size(self):
        return (self.bits + 7) // 8

    def public(self):
        return RsaKey(self.n, self.e)

    def encrypt_int(self, m):
        return pow(m, self.e, self.n)

    def decrypt_int(self, c):
        if self.d is None:
            raise ValueError("public key only")
        if not 0 <= c < self.n:
            raise ProtocolError("encrypted value not below the modulus")
        if self.p is None:
            return pow(c, self.d, self.n)
        m1 = pow(c, self._dp, self.p)
        m2 = pow(c, self._dq, self.q)
        return m2 + self.q * ((self._qinv * (m1 - m2)) % self.p)

    def fingerprint(self):
        digest = hashlib.md5(_int_bytes(self.n) + _int_bytes(self.e)).hexdigest()
        return "MD5:" + ":".join(digest[i:i + 2] for i in range(0, 32, 2))

    def to_json(self):
        return json.dumps({k: hex(getattr(self, k)) for k in "nedpq"}, indent=1)

    @classmethod
    def from_json(cls, text):
        fields = json.loads(text)
        return cls(*(int(fields[k], 16) for k in "nedpq"))


def _int_bytes(value):
    return value.to_bytes((value.bit_length() + 7) // 8, "big")


def generate(bits):
    """A key whose modulus has exactly `bits` bits."""
    if bits < 256 or bits % 2:
        raise ValueError("key size must be even and at least 256 bits")
    while True:
        p = getPrime(bits // 2)
        q = getPrime(bits // 2)
        n = p * q
        phi = (p - 1) * (q - 1)
        if p == q or n.bit_length() != bits or phi % PUBLIC_EXPONENT == 0:
            continue
        if p < q:
            p, q = q, p
        return RsaKey(n, PUBLIC_EXPONENT, inverse(PUBLIC_EXPONENT, phi), p, q)


def load_or_create(path, bits, log):
    """The persistent host key; made once, then reused whatever `bits` says."""
    try:
        with open(path) as handle:
            text = handle.read()
        try:
            key = RsaKey.from_json(text)
        except (ValueError, KeyError, TypeError) as exc:
            raise ValueError("host key file %s is damaged (%s); move it away to make a new one"
                             % (path, exc)) from None
        if key.bits != bits:
            log("host key %s has %d bits (not %d); keeping it" % (path, key.bits, bits))
        return key
    except FileNotFoundError:
        pass
    log("generating a %d-bit host key into %s" % (bits, path))
    key = generate(bits)
    folder = os.path.dirname(path) or "."
    os.makedirs(folder, mode=0o700, exist_ok=True)
    # A private temporary name per writer: two servers starting together on
    # a fresh folder must not interleave their writes; the last rename wins
    # whole, and each keeps the key it generated for this run.
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".host_key.")
    with os.fdopen(fd, "w") as handle:
        handle.write(key.to_json())
    os.replace(tmp, path)
    return key


def pad_block(payload, size):
    """00 02 <nonzero random> 00 <payload>, `size` bytes long."""
    pad = size - len(payload) - 3
    if pad < MIN_PAD_BYTES:
        raise ValueError("modulus too small for a %d-byte payload" % len(payload))
    filler = bytes(secrets.randbelow(255) + 1 for _ in range(pad))
    return b"\x00\x02" + filler + b"\x00" + payload


def unpad_block(block):
    if len(block) < 3 + MIN_PAD_BYTES or block[0] != 0 or block[1] != 2:
        raise ProtocolError("session key block has the wrong padding type")
    end = block.find(b"\x00", 2)
    if end < 0 or end - 2 < MIN_PAD_BYTES:
        raise ProtocolError("session key block padding is too short")
    return block[end + 1:]


def public_encrypt(key, value):
    """What a client does: pad the value's minimal bytes and raise to e."""
    block = pad_block(_int_bytes(value), key.size)
    return key.encrypt_int(int.from_bytes(block, "big"))


def private_decrypt(key, value):
    block = key.decrypt_int(value).to_bytes(key.size, "big")
    return int.from_bytes(unpad_block(block), "big")


def ordered(server_key, host_key):
    """(inner, outer): the smaller modulus wraps first, ties go host first."""
    if server_key.n < host_key.n:
        return server_key, host_key
    return host_key, server_key


def session_id(host_key, server_key, cookie):
    return hashlib.md5(host_key.n.to_bytes(host_key.size, "big")
                       + server_key.n.to_bytes(server_key.size, "big")
                       + cookie).digest()


def wrap_session_key(session_key, sid, server_key, host_key):
    """Client side of the exchange (used by the tests and the bench client)."""
    masked = bytes(a ^ b for a, b in zip(session_key[:16], sid)) + session_key[16:]
    inner, outer = ordered(server_key, host_key)
    return public_encrypt(outer, public_encrypt(inner, int.from_bytes(masked, "big")))


def unwrap_session_key(value, sid, server_key, host_key):
    inner, outer = ordered(server_key, host_key)
    masked = private_decrypt(inner, private_decrypt(outer, value))
    if masked.bit_length() > 256:
        raise ProtocolError("session key longer than 32 bytes")
    raw = masked.to_bytes(32, "big")
    return bytes(a ^ b for a, b in zip(raw[:16], sid)) + raw[16:]
