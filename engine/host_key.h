// The one form in which every front end shows, stores and compares a
// server's host key: its real size, its fingerprint and a one-line text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/session.h"

namespace kestrel {

// A stored key is three decimal numbers; a 16384-bit modulus is under 5000
// digits, so anything longer was not written by this program.
constexpr std::size_t HOST_KEY_TEXT_LIMIT = 8192;

// The size of the modulus itself: the announced size is the server's word.
uint32_t modulusBits(const RsaPublicKey& key);

// "MD5:xx:xx:..." over the modulus bytes and then the exponent bytes, as the
// test server logs it.
std::string hostKeyFingerprint(const RsaPublicKey& key);

// "bits exponent modulus" in decimal, bits being modulusBits.
std::string hostKeyText(const RsaPublicKey& key);

enum class StoredKeyMatch { Same, Different, Unreadable };

// The key of a stored text; false when compareStoredKey would call it
// unreadable.
bool readStoredKey(const std::string& stored, RsaPublicKey& key);

// Unreadable when the text is not three decimal numbers whose first is the
// size of the third: such a text proves nothing either way.
StoredKeyMatch compareStoredKey(const std::string& stored, const RsaPublicKey& key);

} // namespace kestrel
