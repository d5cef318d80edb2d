// kestrel1's settings file as the client reads it at start, then the write of
// the connect dialog's OK and the next start's read. What is read obeys the
// store's bounds, and what was written reads back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "engine/settings_schema.h"
#include "posix/client_files.h"
#include "posix/settings_file.h"

namespace {

using namespace kestrel::client;
using namespace kestrel::settings;

void fail(int line) {
    std::fprintf(stderr, "settings_file_fuzzer: check at line %d failed\n", line);
    std::abort();
}

#define check(condition) ((condition) ? (void)0 : fail(__LINE__))

// One scratch folder per fuzzing process.
const std::string& scratchFolder() {
    static const std::string folder = [] {
        // Memory rather than disk by default: every run writes the file
        // through its real fsync-and-rename path.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp != nullptr && *tmp != '\0' ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        static std::string made = base + "/settings-fuzz-XXXXXX";
        if (mkdtemp(made.data()) == nullptr)
            std::abort();
        std::atexit([] {
            std::remove((made + "/settings").c_str());
            rmdir(made.c_str());
        });
        return made;
    }();
    return folder;
}

void checkBounds(const ClientSettings& s) {
    check(s.servers.size() <= MAX_SERVER_COUNT);
    for (const std::string& name : s.servers)
        check(!name.empty() && name.size() <= SERVER_NAME_LIMIT);
    check(s.scrollbackLines <= std::uint32_t(MAX_SCROLLBACK_LINES));
    check(!s.portText.empty());
}

bool same(const ClientSettings& a, const ClientSettings& b) {
    return a.servers == b.servers && a.userName == b.userName && a.portText == b.portText &&
           a.useVt52 == b.useVt52 && a.scrollbackLines == b.scrollbackLines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = scratchFolder() + "/settings";
    if (!replaceFile(path, std::string(reinterpret_cast<const char*>(data), size), 0600))
        std::abort();
    SettingsFile file(path);
    file.load();
    checkBounds(readClientSettings(file));

    rememberConnection(file, "fuzz.example", "user", "2222");
    ClientSettings remembered = readClientSettings(file);
    checkBounds(remembered);
    if (!file.save())
        std::abort();
    SettingsFile again(path);
    again.load();
    check(same(readClientSettings(again), remembered));
    return 0;
}
