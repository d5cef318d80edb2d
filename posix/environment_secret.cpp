#include "posix/environment_secret.h"

#include <cstdlib>
#include <cstring>

#include "crypto/secure_zero.h"

namespace kestrel::client {

std::optional<std::string> takeSecretFromEnvironment(const char* name) {
    char* value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    std::string secret(value);
    // The environment's strings are the process's own writable memory; the
    // kernel shows the initial ones from there.
    secureZero(value, std::strlen(value));
    unsetenv(name);
    return secret;
}

} // namespace kestrel::client
