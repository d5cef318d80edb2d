// A known_hosts file as the client checks a server's key against it. The
// first input byte picks the host and key looked for (one of a few, among them
// the seeds' entries); the rest is the file. Whatever the text, the answer
// names a line of the file when it reports a difference, and none when the
// host is new or matches.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#if __has_include("engine/known_hosts.h")
#include "engine/known_hosts.h"
#define KESTREL_KNOWN_HOSTS_TEXT 1
#else
#include "posix/client_files.h"
#include "posix/known_hosts.h"
#endif

namespace {

#if KESTREL_KNOWN_HOSTS_TEXT
using namespace kestrel;
#else
using namespace kestrel::client;
using kestrel::RsaPublicKey;
#endif

void fail(int line) {
    std::fprintf(stderr, "known_hosts_fuzzer: check at line %d failed\n", line);
    std::abort();
}

#define require(condition) ((condition) ? (void)0 : fail(__LINE__))

struct Wanted {
    const char* host;
    std::uint16_t port;
    std::uint32_t bits;
    const char* exponent;
    const char* modulus;
};

const Wanted WANTED[] = {
    {"alpha.example", 22, 16, "65537", "40007"},
    {"127.0.0.1", 2222, 8, "3", "187"},
    {"", 1, 0, "0", "0"},
    {"a]:22 16", 22, 16, "65537", "40007"},
};

#if KESTREL_KNOWN_HOSTS_TEXT
HostKeyCheck checkText(const std::string& text, const Wanted& w, const RsaPublicKey& key) {
    return checkKnownHostsText(text, w.host, w.port, key);
}
#else
HostKeyCheck checkText(const std::string& text, const Wanted& w, const RsaPublicKey& key) {
    static const std::string path = [] {
        // Memory rather than disk by default: every run writes the file
        // through its real fsync-and-rename path.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp != nullptr && *tmp != '\0' ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        static std::string made = base + "/hosts-fuzz-XXXXXX";
        if (mkdtemp(made.data()) == nullptr)
            std::abort();
        std::atexit([] {
            std::remove((made + "/known_hosts").c_str());
            rmdir(made.c_str());
        });
        return made + "/known_hosts";
    }();
    if (!replaceFile(path, text, 0600))
        std::abort();
    return KnownHosts(path).check(w.host, w.port, key);
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const Wanted& w = WANTED[data[0] % (sizeof WANTED / sizeof WANTED[0])];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    RsaPublicKey key;
    mpz_set_str(key.exponent, w.exponent, 10);
    mpz_set_str(key.modulus, w.modulus, 10);
    key.bits = w.bits;

    HostKeyCheck result = checkText(text, w, key);
    std::size_t lines = std::count(text.begin(), text.end(), '\n') + 1;
    if (result.match == HostKeyMatch::Unknown || result.match == HostKeyMatch::Matches)
        require(result.line == 0);
    else if (result.match == HostKeyMatch::Changed)
        require(result.line >= 1 && result.line <= lines);
    else
        require(result.line <= lines);
    return 0;
}
