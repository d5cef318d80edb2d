// Where the seed file lives and how it is read and replaced. A bare name goes
// into the program's state folder; a name with a folder is used as it is.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// The file's full path for a name (creates the state folder if needed);
// empty when the user has no state folder (no HOME, no application data):
// then there is no seed file at all rather than one in the current folder.
std::string seedFilePath(const char* name);
// Bytes read (up to capacity), -1 when the file cannot be opened. handleValue
// receives a platform handle number (noise only), -1 when not opened.
long seedFileRead(const char* name, uint8_t* destination, std::size_t capacity,
                  std::intptr_t& handleValue);
// Replaces the file as a whole through a new, exclusively created, private
// file in the same folder that is flushed to disk and then renamed over it
// (never written through a link, never left half written); false on any failure.
bool seedFileWrite(const char* name, const uint8_t* data, std::size_t length);

} // namespace kestrel
