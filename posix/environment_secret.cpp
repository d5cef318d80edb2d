#include "posix/environment_secret.h"

#include <cstdlib>
#include <cstring>

#include "crypto/secure_zero.h"

namespace kestrel::client {

bool takeSecretFromEnvironment(const char* name, std::string& into) {
    char* value = std::getenv(name);
    if (value == nullptr)
        return false;
    into.assign(value);
    // The environment's strings are the process's own writable memory; the
    // kernel shows the initial ones from there.
    secureZero(value, std::strlen(value));
    unsetenv(name);
    return true;
}

} // namespace kestrel::client
