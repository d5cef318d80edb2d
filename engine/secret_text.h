// Strings that held a password or a typed answer. Clearing only size()
// bytes misses what an earlier, longer content left in the capacity.
#pragma once
#include <string>

namespace kestrel {

// Zeroes the whole storage (the capacity, not just the current text) and
// leaves the string empty.
void wipeString(std::string& text);

} // namespace kestrel
