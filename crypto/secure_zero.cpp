#include "crypto/secure_zero.h"

namespace kestrel {

void secureZero(void* data, std::size_t length) {
    // Writes through a volatile pointer count as observable, so they survive
    // even when the buffer is dead right after this call.
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (length-- > 0) {
        *p++ = 0;
    }
}

} // namespace kestrel
