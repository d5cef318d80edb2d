// Text pieces of the setup wizard that need no window system: the setup.ini
// reader, colour values, and the description file "quill.bin". Built into
// setup.exe, into quillpack and into the native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Colour {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
};

// Looks for the first occurrence of key anywhere in iniText. Returns false when
// there is none; otherwise destination holds the bytes after the key up to the
// end of that line, cut to fit destinationSize with its terminating zero.
bool readIniValue(const char* iniText, char* destination, std::size_t destinationSize, const char* key);

// "R,G,B": three numbers read like atoi, at most COLOUR_FIELD_CHARS each, low
// 8 bits kept. A missing field reads as 0.
Colour parseColour(const char* text);

// A number of more than nine digits would overflow atoi's int.
constexpr std::size_t COLOUR_FIELD_CHARS = 9;

// The two characters backslash and r become CR LF, in place.
void replaceLineBreaks(char* text);

// A lone LF becomes CR LF so that a multi-line edit field shows the line break.
std::string withCrLfLineEnds(const std::string& text);

// The description file stores each byte of its text complemented; the same
// operation turns it back.
void complementBytes(std::vector<std::uint8_t>& bytes);

constexpr std::size_t QUILL_VALUE_CHARS = 499;
// A description of a few lines; anything larger is not one of ours.
constexpr std::size_t MAX_QUILL_BYTES = 64 * 1024;
constexpr const char* DEFAULT_LICENCE_FILE = "License.txt";

struct QuillValues {
    std::string applicationName;
    std::string applicationVersion;
    std::string providerText;
    std::string licenceFileName;
};

enum class QuillStatus {
    OK,
    MISSING_KEY,      // a value's key is absent
    MISSING_END_MARK, // the line that should follow a value is absent or comes earlier
    TOO_LARGE,
};

struct QuillResult {
    QuillStatus status;
    const char* anchor; // the key or end mark that was not found in place
};

// Reads the four values from the decoded text. Each value runs from its key
// to the line that begins with its end mark and must lie on the key's line.
QuillResult parseQuillText(const std::string& text, QuillValues& values);

// The decoded text of a whole "quill.bin".
std::string decodeQuill(std::vector<std::uint8_t> bytes);

// The file name part of a licence path (after the last \ / or :), or the
// default name when the path is empty.
std::string licenceFileNameOf(const std::string& path);
