// A password or passphrase handed over in the environment.
#pragma once
#include <string>

namespace kestrel::client {

// Puts the value of `name` in `into`, taking it out of the environment: the
// original bytes are overwritten and the variable removed, so neither
// /proc/PID/environ nor a later child process shows it. Written straight
// into its one destination, so no temporary copy is left behind. False when
// the variable is not set.
bool takeSecretFromEnvironment(const char* name, std::string& into);

} // namespace kestrel::client
