#include <windows.h>
#include <bcrypt.h>

#include "engine/system_random.h"

namespace kestrel::platform {

bool systemRandomFill(uint8_t* destination, std::size_t count, const char*& reason) {
    // The system-preferred generator needs no algorithm handle to open, so
    // there is nothing to keep or close between calls.
    while (count > 0) {
        ULONG chunk = count > 0x10000 ? 0x10000 : ULONG(count);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, destination, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            reason = "BCryptGenRandom failed";
            return false;
        }
        destination += chunk;
        count -= chunk;
    }
    return true;
}

} // namespace kestrel::platform
