#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/seed_file.h"

namespace kestrel {

namespace {

std::string stateFolder() {
    const char* base = std::getenv("LOCALAPPDATA");
    if (base == nullptr || base[0] == '\0')
        base = std::getenv("APPDATA");
    if (base == nullptr || base[0] == '\0')
        return ".";
    std::string folder = std::string(base) + "\\Kestrel1";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

} // namespace

std::string seedFilePath(const char* name) {
    if (std::strchr(name, '\\') != nullptr || std::strchr(name, '/') != nullptr)
        return name;
    return stateFolder() + "\\" + name;
}

long seedFileRead(const char* name, uint8_t* destination, std::size_t capacity,
                  std::intptr_t& handleValue) {
    std::string path = seedFilePath(name);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    handleValue = file == nullptr ? -1 : reinterpret_cast<std::intptr_t>(file);
    if (file == nullptr)
        return -1;
    std::size_t total = std::fread(destination, 1, capacity, file);
    std::fclose(file);
    return long(total);
}

bool seedFileWrite(const char* name, const uint8_t* data, std::size_t length) {
    std::string path = seedFilePath(name);
    std::string temporary = path + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(data, 1, length, file) == length;
    ok = std::fclose(file) == 0 && ok;
    std::error_code failed;
    // Replaces an existing file in one step, so a crash never leaves a half-written file.
    if (ok)
        std::filesystem::rename(temporary, path, failed);
    if (!ok || failed) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace kestrel
