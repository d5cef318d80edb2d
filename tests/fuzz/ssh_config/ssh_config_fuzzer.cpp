// Arbitrary bytes as an ssh_config file, read for a host whose name comes
// from the first line (so Host patterns meet names that match them), with
// the first bytes also taken as a -o argument. Include lines point into a
// folder that does not exist, so only the text itself is read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "posix/ssh_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string host = text.substr(0, std::min(text.find('\n'), std::size_t(64)));
    kestrel::client::SshConfig config;
    kestrel::client::SshConfigReader reader(host, "/nonexistent-kestrel-fuzz", config);
    std::string error;
    reader.addOption(text.substr(0, 80), error);
    reader.readText(text, "fuzz", error);
    return 0;
}
