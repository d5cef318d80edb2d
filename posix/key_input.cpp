#include "posix/key_input.h"

namespace kestrel::client {

const char* const ESCAPE_HELP =
    "\r\nSupported escape sequences (after a new line):\r\n"
    "  ~.  disconnect\r\n"
    "  ~b  scroll back a page (also Shift+PageUp; Shift+Up a line)\r\n"
    "  ~f  scroll forward a page (also Shift+PageDown; Shift+Down a line)\r\n"
    "  ~?  this help\r\n"
    "  ~~  send a tilde\r\n";

namespace {

constexpr char ESC = '\x1b';

bool isFinal(char c) { return c >= 0x40 && c <= 0x7e; }

} // namespace

void KeyDecoder::typed(const std::string& bytes, std::vector<KeyEvent>& events) {
    if (bytes.empty())
        return;
    if (!events.empty() && events.back().action == KeyAction::Send)
        events.back().bytes += bytes;
    else
        events.push_back({KeyAction::Send, bytes});
    char last = bytes.back();
    lineStart_ = last == '\r' || last == '\n';
}

void KeyDecoder::action(KeyAction what, std::vector<KeyEvent>& events) { events.push_back({what, {}}); }

// ESC [ parameters final, ESC O letter, or ESC and one other byte.
bool KeyDecoder::sequenceComplete() const {
    if (sequence_.size() < 2)
        return false;
    if (sequence_[1] == '[')
        return sequence_.size() > 2 && isFinal(sequence_.back());
    if (sequence_[1] == 'O')
        return sequence_.size() > 2;
    return true;
}

void KeyDecoder::finishSequence(std::vector<KeyEvent>& events) {
    std::string keys = sequence_;
    sequence_.clear();
    char last = keys.back();
    bool arrow = (keys.size() == 3 && (keys[1] == '[' || keys[1] == 'O')) && last >= 'A' && last <= 'D';
    if (arrow) {
        typed(vt52_ ? std::string{ESC, last} : std::string{ESC, '[', last}, events);
        return;
    }
    if (keys == "\x1b[5;2~")
        return action(KeyAction::PageUp, events);
    if (keys == "\x1b[6;2~")
        return action(KeyAction::PageDown, events);
    if (keys == "\x1b[1;2A")
        return action(KeyAction::LineUp, events);
    if (keys == "\x1b[1;2B")
        return action(KeyAction::LineDown, events);
    typed(keys, events);
}

void KeyDecoder::plainByte(char byte, std::vector<KeyEvent>& events) {
    if (tildeHeld_) {
        tildeHeld_ = false;
        switch (byte) {
        case '.':
            return action(KeyAction::Disconnect, events);
        case '?':
            return action(KeyAction::Help, events);
        case 'b':
            return action(KeyAction::PageUp, events);
        case 'f':
            return action(KeyAction::PageDown, events);
        case ESCAPE_CHARACTER:
            return typed(std::string(1, ESCAPE_CHARACTER), events);
        default:
            typed(std::string(1, ESCAPE_CHARACTER), events);
            break;
        }
    }
    if (byte == ESC) {
        sequence_.assign(1, ESC);
        return;
    }
    if (byte == ESCAPE_CHARACTER && lineStart_) {
        tildeHeld_ = true;
        return;
    }
    typed(std::string(1, byte), events);
}

void KeyDecoder::feed(const char* bytes, std::size_t length, std::vector<KeyEvent>& events) {
    for (std::size_t i = 0; i < length; ++i) {
        char byte = bytes[i];
        if (sequence_.empty()) {
            plainByte(byte, events);
            continue;
        }
        if (byte == ESC) { // a new sequence: the old one was a lone Escape
            flush(events);
            sequence_.assign(1, ESC);
            continue;
        }
        sequence_ += byte;
        if (sequenceComplete())
            finishSequence(events);
        else if (sequence_.size() >= KEY_SEQUENCE_LIMIT)
            flush(events);
    }
}

void KeyDecoder::flush(std::vector<KeyEvent>& events) {
    if (!sequence_.empty()) {
        std::string keys = sequence_;
        sequence_.clear();
        typed(keys, events);
    }
}

bool LineEscape::feed(const char* bytes, std::size_t length, std::string& out) {
    for (std::size_t i = 0; i < length; ++i) {
        char byte = bytes[i];
        if (tildeHeld_) {
            tildeHeld_ = false;
            if (byte == '.')
                return true;
            out += ESCAPE_CHARACTER;
            if (byte == ESCAPE_CHARACTER) {
                lineStart_ = false;
                continue;
            }
        } else if (lineStart_ && byte == ESCAPE_CHARACTER) {
            tildeHeld_ = true;
            continue;
        }
        out += byte;
        lineStart_ = byte == '\r' || byte == '\n';
    }
    return false;
}

} // namespace kestrel::client
