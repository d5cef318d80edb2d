"""The three session ciphers, one object per direction.

Each direction keeps its chaining state for the whole session, so every
object wraps block-cipher objects that are created once and fed packet after
packet; the library's CBC objects carry their IV across calls.
"""
from array import array

from Cryptodome.Cipher import Blowfish, DES

from .wire import CIPHER_3DES, CIPHER_BLOWFISH, CIPHER_NONE

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


class TripleDesEncryptor:
    """Three complete DES-CBC passes (encrypt k1, decrypt k2, encrypt k3)."""
    name = "3des"

    def __init__(self, key):
        k1, k2, k3 = _des_keys(key)
        self._passes = (DES.new(k1, DES.MODE_CBC, iv=_ZERO_IV).encrypt,
                        DES.new(k2, DES.MODE_CBC, iv=_ZERO_IV).decrypt,
                        DES.new(k3, DES.MODE_CBC, iv=_ZERO_IV).encrypt)

    def process(self, data):
        for step in self._passes:
            data = step(data)
        return data


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


def _des_keys(key):
    if len(key) < 24:
        raise ValueError("Triple-DES needs 24 key bytes")
    return key[0:8], key[8:16], key[16:24]


class BlowfishEncryptor:
    name = "blowfish"

    def __init__(self, key):
        self._cipher = Blowfish.new(bytes(key), Blowfish.MODE_CBC, iv=_ZERO_IV)

    def process(self, data):
        return swap_words(self._cipher.encrypt(swap_words(data)))


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
    if cipher_type == CIPHER_3DES:
        return TripleDesDecryptor(session_key), TripleDesEncryptor(session_key)
    if cipher_type == CIPHER_BLOWFISH:
        return BlowfishDecryptor(session_key), BlowfishEncryptor(session_key)
    raise ValueError("unknown cipher type %d" % cipher_type)
