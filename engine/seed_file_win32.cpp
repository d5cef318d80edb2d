#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/seed_file.h"

namespace kestrel {

namespace {

// As on POSIX: a name of its own for each write, a bounded number of tries.
constexpr int TEMPORARY_NAME_ATTEMPTS = 16;

std::atomic<unsigned> temporaryCounter{0};

// The per-user application data folder is private to the user; without one
// there is no seed file rather than one in the current folder.
std::string stateFolder() {
    const char* base = std::getenv("LOCALAPPDATA");
    if (base == nullptr || base[0] == '\0')
        base = std::getenv("APPDATA");
    if (base == nullptr || base[0] == '\0')
        return {};
    std::string folder = std::string(base) + "\\Kestrel1";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

// CREATE_NEW fails on anything already there, a link included.
HANDLE createTemporary(const std::string& path, std::string& temporary) {
    for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        temporary = path + ".new." + std::to_string(GetCurrentProcessId()) + "." +
                    std::to_string(temporaryCounter.fetch_add(1));
        HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

bool writeAll(HANDLE file, const uint8_t* data, std::size_t length) {
    while (length > 0) {
        DWORD chunk = length > 0x10000 ? 0x10000 : DWORD(length);
        DWORD put = 0;
        if (!WriteFile(file, data, chunk, &put, nullptr) || put == 0)
            return false;
        data += put;
        length -= put;
    }
    return true;
}

} // namespace

std::string seedFilePath(const char* name) {
    if (std::strchr(name, '\\') != nullptr || std::strchr(name, '/') != nullptr)
        return name;
    std::string folder = stateFolder();
    return folder.empty() ? std::string() : folder + "\\" + name;
}

long seedFileRead(const char* name, uint8_t* destination, std::size_t capacity,
                  std::intptr_t& handleValue) {
    std::string path = seedFilePath(name);
    handleValue = -1;
    if (path.empty())
        return -1;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    handleValue = reinterpret_cast<std::intptr_t>(file);
    std::size_t total = 0;
    while (total < capacity) {
        DWORD want = capacity - total > 0x10000 ? 0x10000 : DWORD(capacity - total);
        DWORD got = 0;
        if (!ReadFile(file, destination + total, want, &got, nullptr) || got == 0)
            break;
        total += got;
    }
    CloseHandle(file);
    return long(total);
}

bool seedFileWrite(const char* name, const uint8_t* data, std::size_t length) {
    std::string path = seedFilePath(name);
    if (path.empty())
        return false;
    std::string temporary;
    HANDLE file = createTemporary(path, temporary);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // On disk before the replace, so a crash leaves the old file or the new one.
    bool ok = writeAll(file, data, length) && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    if (!ok || !MoveFileExA(temporary.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace kestrel
