#include "posix/client_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::client {

namespace {

bool makeFolders(const std::string& folder) {
    if (folder.empty())
        return true;
    struct stat info;
    if (stat(folder.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(folder.substr(0, slash)))
        return false;
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const std::string& contents) {
    std::size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace

std::string xdgFile(const char* variable, const char* fallback, const char* leaf) {
    const char* base = std::getenv(variable);
    std::string folder;
    if (base != nullptr && base[0] == '/') {
        folder = base;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home != nullptr ? home : ".") + "/" + fallback;
    }
    return folder + "/kestrel1/" + leaf;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return std::nullopt;
    std::string contents;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && contents.size() <= limit)
        contents.append(chunk, n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || contents.size() > limit)
        return std::nullopt;
    return contents;
}

bool replaceFile(const std::string& path, const std::string& contents, mode_t mode) {
    std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && !makeFolders(path.substr(0, slash)))
        return false;
    std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    // An existing file of the same name may have been made with wider rights.
    bool written = fchmod(fd, mode) == 0 && writeAll(fd, contents) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace kestrel::client
