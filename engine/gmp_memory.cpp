#include "engine/gmp_memory.h"

#include <cstdlib>
#include <cstring>
#include <gmp.h>
#include <mutex>

#include "crypto/secure_zero.h"

namespace kestrel {

namespace {

// GMP has no way to report a failed allocation; it expects a block or an end.
void* allocate(std::size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
        std::abort();
    return block;
}

// Never realloc in place: a realloc that moves leaves the old block unzeroed.
void* reallocate(void* old, std::size_t oldSize, std::size_t newSize) {
    void* grown = allocate(newSize);
    if (old != nullptr) {
        std::memcpy(grown, old, oldSize < newSize ? oldSize : newSize);
        secureZero(old, oldSize);
        std::free(old);
    }
    return grown;
}

void release(void* block, std::size_t size) {
    if (block == nullptr)
        return;
    secureZero(block, size);
    std::free(block);
}

} // namespace

void useWipingGmpMemory() {
    static std::once_flag installed;
    std::call_once(installed, [] { mp_set_memory_functions(allocate, reallocate, release); });
}

[[gnu::noinline]] void scrubStack() {
    unsigned char area[STACK_SCRUB_SIZE];
    secureZero(area, sizeof area);
}

} // namespace kestrel
