// Text from elsewhere (a server's output, a name from a settings file or the
// command line) written to the user's own terminal: control characters that
// could drive it (titles, clipboard writes, reports, colours) are shown as
// printable escapes instead. CR, LF, TAB and BS stay, so the text still
// reads as lines. C1 controls are caught in their UTF-8 form (C2 80 to C2 9F)
// too, which terminals in UTF-8 mode act on.
#pragma once
#include <cstddef>
#include <string>

namespace kestrel {

class PrintableText {
public:
    // Appends the shown form of the bytes to out; a C1 control split between
    // two calls is still recognised.
    void feed(const char* text, std::size_t length, std::string& out);
    // The held first byte of a sequence that never came.
    void finish(std::string& out);

private:
    bool heldLead_ = false;
};

// The whole text at once.
std::string printable(const std::string& text);

} // namespace kestrel
