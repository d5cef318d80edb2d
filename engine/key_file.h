// Protocol-1 identity files: the private key file ("SSH PRIVATE KEY FILE
// FORMAT 1.1", clear or protected by a passphrase) and the public key line of
// an authorized-keys file ("bits exponent modulus comment", decimal).
//
// Private file layout: the header text and a zero byte; the cipher (0 none,
// 3 the protocol's Triple-DES); 4 reserved bytes; the bit count; mpints n
// and e; the comment as a string. Then the part under the cipher: two
// random check bytes, the same two again, mpints d, u, p, q (u = p^-1 mod q),
// zero padding to a multiple of 8. The cipher's key is the MD5 of the
// passphrase (16 bytes: first half, second half, first half again), every
// chain starting from a zero IV.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rsa_private_key.h"
#include "engine/session.h"

namespace kestrel {

constexpr const char KEY_FILE_HEADER[] = "SSH PRIVATE KEY FILE FORMAT 1.1\n";
constexpr uint8_t KEY_CIPHER_NONE = 0;
constexpr uint8_t KEY_CIPHER_TRIPLE_DES = 3;
// The largest key file is well under this (a 16384-bit key with the longest
// comment takes about 14 KiB); anything bigger is not a key file, and is
// refused before it is read into memory.
constexpr std::size_t KEY_FILE_MAX_SIZE = 64 * 1024;
// Comments name a key for people; longer ones are not comments.
constexpr std::size_t KEY_COMMENT_MAX = 4096;
// A public key line of the largest key: 5 digits of bits, a 4933-digit
// modulus, an exponent no longer than the modulus, the comment.
constexpr std::size_t PUBLIC_KEY_LINE_MAX = 16 * 1024;
// The file's check: two random bytes written twice.
constexpr std::size_t KEY_CHECK_SIZE = 4;

enum KeyFileStatus {
    KEY_FILE_OK,
    KEY_FILE_NOT_KEY_FILE,      // no header: some other file
    KEY_FILE_MALFORMED,         // fields run past the end or break a bound
    KEY_FILE_UNSUPPORTED_CIPHER,
    KEY_FILE_WRONG_PASSPHRASE,  // the check bytes disagree
    KEY_FILE_INCONSISTENT,      // the parts do not make one key
};

// A short reason for the user ("wrong passphrase", ...).
const char* keyFileStatusText(KeyFileStatus status);

// What the clear part of a private key file says: enough to offer the key
// before anyone is asked for its passphrase.
struct KeyFilePublicPart {
    RsaPublicKey key;
    std::string comment;
    bool encrypted = false;
};

KeyFileStatus readKeyFilePublic(const uint8_t* data, std::size_t size, KeyFilePublicPart& part);
KeyFileStatus readKeyFilePrivate(const uint8_t* data, std::size_t size, std::string_view passphrase,
                                 RsaPrivateKey& key, std::string& comment);

// Fills count bytes with unpredictable data; false when it cannot.
using RandomSource = bool (*)(uint8_t* destination, std::size_t count);

// Bytes that held key material: cleared when they go. Built at its final
// size, so no copy is left behind by growth.
class SecretBytes {
public:
    SecretBytes() = default;
    ~SecretBytes() { wipe(); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    void wipe();
    std::vector<uint8_t> bytes;
};

// An empty passphrase writes the file in clear. False when the random
// source fails or the key breaks the identity bounds.
bool writeKeyFile(const RsaPrivateKey& key, std::string_view comment, std::string_view passphrase,
                  RandomSource random, SecretBytes& file);

// "bits exponent modulus comment\n"
std::string publicKeyLine(const RsaPublicKey& key, std::string_view comment);
// One line, with or without its line break. False for anything but three
// decimal numbers (bits matching the modulus, within the identity bounds)
// and an optional comment.
bool parsePublicKeyLine(std::string_view line, RsaPublicKey& key, std::string& comment);

} // namespace kestrel
