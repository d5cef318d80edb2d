#include "posix/random_bytes.h"

#include <cerrno>
#include <sys/random.h>

namespace kestrel::client {

bool systemRandomBytes(uint8_t* destination, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t got = getrandom(destination + done, count - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += std::size_t(got);
    }
    return true;
}

} // namespace kestrel::client
