// Turns the bytes the user's terminal sends into what the session gets:
// typed text, arrow keys in the remote terminal's form, the escape character
// after a line start ("~." and friends) and the scroll-back keys.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace kestrel::client {

enum class KeyAction {
    Send,           // bytes go to the server as typed
    Disconnect,     // ~.
    Help,           // ~?
    PageUp,         // Shift+PageUp, ~b
    PageDown,       // Shift+PageDown, ~f
    LineUp,         // Shift+Up
    LineDown,       // Shift+Down
};

struct KeyEvent {
    KeyAction action;
    std::string bytes; // for Send
};

// A sequence from the terminal is at most a few bytes; one longer than this
// is not a key, and goes out as typed.
constexpr std::size_t KEY_SEQUENCE_LIMIT = 16;

constexpr char ESCAPE_CHARACTER = '~';

class KeyDecoder {
public:
    explicit KeyDecoder(bool vt52) : vt52_(vt52) {}

    void feed(const char* bytes, std::size_t length, std::vector<KeyEvent>& events);
    // Called when no more bytes came for a moment: an unfinished sequence
    // (a lone Escape) goes out as typed.
    void flush(std::vector<KeyEvent>& events);
    bool pending() const { return !sequence_.empty(); }

private:
    void typed(const std::string& bytes, std::vector<KeyEvent>& events);
    void action(KeyAction what, std::vector<KeyEvent>& events);
    bool sequenceComplete() const;
    void finishSequence(std::vector<KeyEvent>& events);
    void plainByte(char byte, std::vector<KeyEvent>& events);

    bool vt52_;
    bool lineStart_ = true;
    bool tildeHeld_ = false;
    std::string sequence_;
};

// The escape without the rest, for a command's pty: bytes pass exactly as
// typed (the remote program owns the keys), except that "~." after a line
// start disconnects and "~~" there sends one tilde.
class LineEscape {
public:
    // Appends what goes to the server to `out`; true when "~." was typed
    // (what followed it is dropped).
    bool feed(const char* bytes, std::size_t length, std::string& out);

private:
    bool lineStart_ = true;
    bool tildeHeld_ = false;
};

// The help text shown for "~?".
extern const char* const ESCAPE_HELP;

} // namespace kestrel::client
