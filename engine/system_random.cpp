#include "engine/system_random.h"

#include <atomic>

namespace kestrel {

namespace {

std::atomic<SystemRandomSource> replacement{nullptr};
thread_local const char* lastFailure = "";

} // namespace

bool systemRandomBytes(uint8_t* destination, std::size_t count) {
    if (SystemRandomSource source = replacement.load(); source != nullptr) {
        lastFailure = "replaced source failed";
        return source(destination, count);
    }
    const char* reason = "";
    bool filled = platform::systemRandomFill(destination, count, reason);
    lastFailure = reason;
    return filled;
}

const char* systemRandomFailure() { return lastFailure; }

void setSystemRandomSource(SystemRandomSource source) { replacement.store(source); }

} // namespace kestrel
