#include "engine/secret_text.h"

#include "crypto/secure_zero.h"

namespace kestrel {

void wipeString(std::string& text) {
    text.resize(text.capacity());
    secureZero(text.data(), text.size());
    text.clear();
}

} // namespace kestrel
