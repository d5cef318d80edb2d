// A password or passphrase handed over in the environment.
#pragma once
#include <optional>
#include <string>

namespace kestrel::client {

// The value of `name`, taken out of the environment: the original bytes are
// overwritten and the variable removed, so neither /proc/PID/environ nor a
// later child process shows it. Nothing when the variable is not set.
std::optional<std::string> takeSecretFromEnvironment(const char* name);

} // namespace kestrel::client
