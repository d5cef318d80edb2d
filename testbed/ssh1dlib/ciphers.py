"""The three session ciphers, one object per direction.

Each direction keeps its chaining state for the whole session, so every
object wraps block-cipher objects that are created once and fed packet after
packet; the library's CBC objects carry their IV across calls.
"""
from array import array

from Cryptodome.Cipher import Blowfish, DES

from .wire import CIPHER_3DES, CIPHER_BLOWFISH, CIPHER_DES, CIPHER_NONE

_ZERO_IV = bytes(8)
_WORD = "I" if array("I").itemsize == 4 else "L"
assert array(_WORD).itemsize == 4


def swap_words(data):
    """Reverse the bytes of every 32-bit group (length must be a multiple of 4).

    Blowfish here reads block halves least significant byte first; swapping
    around a standard big-endian Blowfish gives the same result.
    """
    words = array(_WORD, data)
    words.byteswap()
    return words.tobytes()


class NoCipher:
    name = "none"

    def process(self, data):
        return bytes(data)

    def plaintext_for(self, block):
        return bytes(block)


class SingleDesEncryptor:
    """Single DES-CBC keyed with the first 8 bytes of the session key."""
    name = "des"

    def __init__(self, key):
        self._cipher = DES.new(bytes(key[:8]), DES.MODE_CBC, iv=_ZERO_IV)
        self._block = DES.new(bytes(key[:8]), DES.MODE_ECB)
        self._last = _ZERO_IV

    def process(self, data):
        data = self._cipher.encrypt(data)
        if data:
            self._last = data[-8:]
        return data

    def plaintext_for(self, block):
        """The next plaintext block whose ciphertext is the given block."""
        return _xor(self._block.decrypt(bytes(block)), self._last)


class SingleDesDecryptor:
    name = "des"

    def __init__(self, key):
        self._cipher = DES.new(bytes(key[:8]), DES.MODE_CBC, iv=_ZERO_IV)

    def process(self, data):
        return self._cipher.decrypt(data)


class TripleDesEncryptor:
    """Three complete DES-CBC passes (encrypt k1, decrypt k2, encrypt k3)."""
    name = "3des"

    def __init__(self, key):
        k1, k2, k3 = _des_keys(key)
        self._passes = (DES.new(k1, DES.MODE_CBC, iv=_ZERO_IV).encrypt,
                        DES.new(k2, DES.MODE_CBC, iv=_ZERO_IV).decrypt,
                        DES.new(k3, DES.MODE_CBC, iv=_ZERO_IV).encrypt)
        self._blocks = [DES.new(k, DES.MODE_ECB) for k in (k1, k2, k3)]
        # The chains: the first pass's last output (also the second pass's
        # last input) and the last ciphertext block.
        self._inner = self._outer = _ZERO_IV

    def process(self, data):
        data = self._passes[0](data)
        if data:
            self._inner = data[-8:]
        data = self._passes[2](self._passes[1](data))
        if data:
            self._outer = data[-8:]
        return data

    def plaintext_for(self, block):
        """The next plaintext block whose ciphertext is the given block."""
        e1, e2, e3 = self._blocks
        middle = _xor(e3.decrypt(bytes(block)), self._outer)
        inner = e2.encrypt(_xor(middle, self._inner))
        return _xor(e1.decrypt(inner), self._inner)


class TripleDesDecryptor:
    name = "3des"

    def __init__(self, key):
        k1, k2, k3 = _des_keys(key)
        self._passes = (DES.new(k3, DES.MODE_CBC, iv=_ZERO_IV).decrypt,
                        DES.new(k2, DES.MODE_CBC, iv=_ZERO_IV).encrypt,
                        DES.new(k1, DES.MODE_CBC, iv=_ZERO_IV).decrypt)

    def process(self, data):
        for step in self._passes:
            data = step(data)
        return data


def _xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b))


def _des_keys(key):
    if len(key) < 24:
        raise ValueError("Triple-DES needs 24 key bytes")
    return key[0:8], key[8:16], key[16:24]


class BlowfishEncryptor:
    name = "blowfish"

    def __init__(self, key):
        self._cipher = Blowfish.new(bytes(key), Blowfish.MODE_CBC, iv=_ZERO_IV)
        self._block = Blowfish.new(bytes(key), Blowfish.MODE_ECB)
        self._last = _ZERO_IV

    def process(self, data):
        data = swap_words(self._cipher.encrypt(swap_words(data)))
        if data:
            self._last = data[-8:]
        return data

    def plaintext_for(self, block):
        """The next plaintext block whose ciphertext is the given block."""
        return _xor(swap_words(self._block.decrypt(swap_words(bytes(block)))), self._last)


class BlowfishDecryptor:
    name = "blowfish"

    def __init__(self, key):
        self._cipher = Blowfish.new(bytes(key), Blowfish.MODE_CBC, iv=_ZERO_IV)

    def process(self, data):
        return swap_words(self._cipher.decrypt(swap_words(data)))


def make_pair(cipher_type, session_key):
    """(decryptor for received packets, encryptor for sent packets)."""
    if cipher_type == CIPHER_NONE:
        return NoCipher(), NoCipher()
    if cipher_type == CIPHER_DES:
        return SingleDesDecryptor(session_key), SingleDesEncryptor(session_key)
    if cipher_type == CIPHER_3DES:
        return TripleDesDecryptor(session_key), TripleDesEncryptor(session_key)
    if cipher_type == CIPHER_BLOWFISH:
        return BlowfishDecryptor(session_key), BlowfishEncryptor(session_key)
    raise ValueError("unknown cipher type %d" % cipher_type)
