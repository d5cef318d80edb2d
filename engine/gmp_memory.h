// GMP's memory during the key exchange holds the padded session key and the
// key itself: every block GMP gives back, and the old block of every
// reallocation, is zeroed before it returns to the heap.
//
// What this does not reach: GMP takes the scratch space of mpz_powm and the
// other arithmetic below about 64 KB from the stack (alloca), never through
// these functions. For the key sizes the protocol uses all of it is stack,
// so the key exchange overwrites the stack area below itself after the
// encryptions (scrubStack); what sits in registers or in stack the compiler
// chose to spill elsewhere is beyond reach of portable code.
#pragma once
#include <cstddef>

namespace kestrel {

// Installs the wiping functions (once; later calls do nothing). Blocks GMP
// allocated before stay valid: the functions use the same heap as GMP's own.
void useWipingGmpMemory();

// Zeroes this much stack below the caller.
constexpr std::size_t STACK_SCRUB_SIZE = 64 * 1024;
void scrubStack();

} // namespace kestrel
