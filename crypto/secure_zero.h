// Clearing key material: a plain memset of a buffer that is about to die may be
// removed by the optimiser, so the writes go through a volatile pointer.
#pragma once
#include <cstddef>

namespace kestrel {

void secureZero(void* data, std::size_t length);

} // namespace kestrel
