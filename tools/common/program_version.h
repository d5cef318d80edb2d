// What every program of the project answers to --version. Header only: the
// programs that include it share no library (quillpack also builds alone).
#pragma once
#include <cstdio>
#include <cstring>

namespace kestrel::tools {

// The release, written as the handheld's About box and the protocol
// identification write it. The build checks it against the project version.
inline constexpr char RELEASE_TEXT[] = "1.00.46";

// True when --version stands among the options (before a "--").
inline bool versionAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (std::strcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

inline int printVersion(const char* program) {
    std::printf("%s %s\n", program, RELEASE_TEXT);
    return 0;
}

} // namespace kestrel::tools
