// setup.ini as the wizard reads it: every key it asks for, into fields of the
// sizes it uses (and a one-byte one), then the colour and line-break passes
// over what came out. A value must stay inside its field, end at the line's
// end, and never hold a line break the file did not write as "\r".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "setup/core/setup_text.h"

namespace {

void fail(int line) {
    std::fprintf(stderr, "setup_ini_fuzzer: check at line %d failed\n", line);
    std::abort();
}

#define check(condition) ((condition) ? (void)0 : fail(__LINE__))

const char* const KEYS[] = {"bgtopcolor=", "bgbottomcolor=", "bgtitle=", "=", "x"};
const std::size_t FIELD_SIZES[] = {1, 2, 16, 256, 500};
constexpr std::size_t GUARD = 8;

void readOne(const std::string& ini, const char* key, std::size_t fieldSize) {
    char field[512 + GUARD];
    std::memset(field, 0x5A, sizeof field);
    if (!readIniValue(ini.c_str(), field, fieldSize, key))
        return;
    std::size_t length = std::strlen(field);
    check(length < fieldSize);
    for (std::size_t i = fieldSize; i < fieldSize + GUARD; ++i)
        check(field[i] == 0x5A);
    check(std::strchr(field, '\r') == nullptr && std::strchr(field, '\n') == nullptr);
    // The value is the start of what follows the key's first occurrence.
    const char* found = std::strstr(ini.c_str(), key);
    check(found != nullptr && std::strncmp(found + std::strlen(key), field, length) == 0);

    parseColour(field);
    replaceLineBreaks(field);
    check(std::strlen(field) == length);
    std::string shown = withCrLfLineEnds(field);
    for (std::size_t i = 0; i < shown.size(); ++i)
        check(shown[i] != '\n' || (i > 0 && shown[i - 1] == '\r'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The wizard holds the file as a C string: a zero byte ends it.
    std::string ini(reinterpret_cast<const char*>(data), size);
    ini = ini.substr(0, ini.find('\0'));
    for (const char* key : KEYS)
        for (std::size_t fieldSize : FIELD_SIZES)
            readOne(ini, key, fieldSize);
    parseColour(ini.c_str());
    return 0;
}
