#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "engine/system_random.h"

namespace kestrel::platform {

namespace {

// getrandom is absent on kernels before 3.17 and may be filtered out by a
// sandbox; the device file gives the same generator there.
bool fillFromDevice(uint8_t* destination, std::size_t count, const char*& reason) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = "cannot open /dev/urandom";
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        ssize_t got = ::read(fd, destination + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += std::size_t(got);
    }
    ::close(fd);
    if (done < count)
        reason = "cannot read /dev/urandom";
    return done == count;
}

} // namespace

bool systemRandomFill(uint8_t* destination, std::size_t count, const char*& reason) {
    std::size_t done = 0;
    while (done < count) {
        // Blocks only until the kernel's generator is first seeded at boot.
        ssize_t got = ::getrandom(destination + done, count - done, 0);
        if (got > 0) {
            done += std::size_t(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == ENOSYS || errno == EPERM))
            return fillFromDevice(destination + done, count - done, reason);
        reason = "getrandom failed";
        return false;
    }
    return true;
}

} // namespace kestrel::platform
