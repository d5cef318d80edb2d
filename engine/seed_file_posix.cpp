#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/seed_file.h"

namespace kestrel {

namespace {

std::string stateFolder() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && xdg[0] == '/')
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        base = std::string(home) + "/.local/state";
    else
        return {}; // never the current folder, which may be anyone's
    // Each level private to the user: the pool's future output is derived
    // from what sits in this folder.
    std::string partial;
    for (std::size_t at = 1; at <= base.size(); ++at) {
        if (at == base.size() || base[at] == '/') {
            partial = base.substr(0, at);
            mkdir(partial.c_str(), 0700);
        }
    }
    std::string folder = base + "/kestrel1";
    mkdir(folder.c_str(), 0700);
    return folder;
}

// A crash may leave a temporary behind, and another copy of the program may
// be writing at the same time: each write takes a name of its own, and gives
// up after this many names already taken.
constexpr int TEMPORARY_NAME_ATTEMPTS = 16;

std::atomic<unsigned> temporaryCounter{0};

// Created exclusively, so nothing placed there beforehand (a link to some
// other file in particular) is written through.
int createTemporary(const std::string& path, std::string& temporary) {
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        temporary = path + ".new." + std::to_string(::getpid()) + "." +
                    std::to_string(temporaryCounter.fetch_add(1));
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool writeAll(int fd, const uint8_t* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t put = ::write(fd, data + done, length - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += std::size_t(put);
    }
    return true;
}

} // namespace

std::string seedFilePath(const char* name) {
    if (std::strchr(name, '/') != nullptr)
        return name;
    std::string folder = stateFolder();
    return folder.empty() ? std::string() : folder + "/" + name;
}

long seedFileRead(const char* name, uint8_t* destination, std::size_t capacity,
                  std::intptr_t& handleValue) {
    std::string path = seedFilePath(name);
    handleValue = -1;
    if (path.empty())
        return -1;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    handleValue = fd;
    if (fd < 0)
        return -1;
    std::size_t total = 0;
    while (total < capacity) {
        ssize_t got = ::read(fd, destination + total, capacity - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        total += std::size_t(got);
    }
    ::close(fd);
    return long(total);
}

bool seedFileWrite(const char* name, const uint8_t* data, std::size_t length) {
    std::string path = seedFilePath(name);
    if (path.empty())
        return false;
    std::string temporary;
    int fd = createTemporary(path, temporary);
    if (fd < 0)
        return false;
    // On disk before the rename: a crash then leaves the old file or the
    // new one, never an empty one under the real name.
    bool ok = writeAll(fd, data, length) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace kestrel
