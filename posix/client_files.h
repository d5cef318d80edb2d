// Where the client keeps its files, and the small-file reads and writes they
// need.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrel::client {

// $<variable>/kestrel1/<leaf> when the variable holds an absolute path,
// otherwise $HOME/<fallback>/kestrel1/<leaf> (the XDG base-directory rule).
std::string xdgFile(const char* variable, const char* fallback, const char* leaf);

// The whole file, or nothing when it is missing, unreadable or larger than limit.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit);

// Writes a new file beside the old one and renames it over, so a crash never
// leaves half a file; missing folders are made with mode 0700.
bool replaceFile(const std::string& path, const std::string& contents, mode_t mode);

} // namespace kestrel::client
