#include "terminal/terminal_parser.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kestrel {

namespace {

// Text bytes are CR, LF and 28..126; everything else is a control byte. Bytes
// 28..31 count as text on purpose (hosts rely on them printing).
constexpr std::array<bool, 256> makeTextTable()
{
    std::array<bool, 256> table{};
    for (int b = 28; b <= 126; ++b) {
        table[static_cast<std::size_t>(b)] = true;
    }
    table['\r'] = true;
    table['\n'] = true;
    return table;
}

constexpr std::array<bool, 256> TEXT_BYTE = makeTextTable();

constexpr std::uint32_t SGR_RESET_MASK = 0xEF0;
constexpr std::uint32_t DEC_MODE_BITS[9] = {0, 0x10, 0x20, 0x40, 0x80, 0x100, 0x200, 0x400, 0x800};
constexpr std::int32_t DEC_MODE_LAST = 8;
constexpr std::size_t INCOMPLETE = static_cast<std::size_t>(-1);

bool isDigit(std::uint8_t b)
{
    return b >= '0' && b <= '9';
}

std::int32_t accumulate(std::int32_t value, std::uint8_t digit)
{
    return std::min(value * 10 + (digit - '0'), MAX_PARAMETER_VALUE);
}

}  // namespace

void TerminalParser::attach(ScreenBuffer& screen)
{
    std::lock_guard<TerminalLock> guard(screen.lock());
    screen_ = &screen;
    pendingLength_ = 0;
    pending_[0] = 0;
    screen.resetTerminal();
}

int TerminalParser::feedText(const char* text)
{
    if (text != nullptr) {
        feedBytes(text, std::strlen(text));
    }
    return 0;
}

// Bytes are taken in pieces that fit the pending buffer, so a host packet
// larger than the buffer is interpreted rather than lost.
int TerminalParser::feedBytes(const char* bytes, std::size_t length)
{
    if (screen_ == nullptr) {
        return -1;
    }
    std::lock_guard<TerminalLock> guard(screen_->lock());
    int result = 0;
    while (length > 0) {
        std::size_t room = PENDING_CAPACITY - pendingLength_;
        if (room == 0) {
            screen_->printText(OVERFLOW_MESSAGE, sizeof OVERFLOW_MESSAGE - 1);
            pendingLength_ = 0;
            result = -1;
            continue;
        }
        std::size_t take = std::min(room, length);
        std::memcpy(pending_.data() + pendingLength_, bytes, take);
        pendingLength_ += take;
        bytes += take;
        length -= take;
        interpretPending();
    }
    return result;
}

void TerminalParser::interpretPending()
{
    pending_[pendingLength_] = 0;
    std::size_t p = 0;
    while (p < pendingLength_) {
        std::size_t c = p;
        while (c < pendingLength_ && TEXT_BYTE[pending_[c]]) {
            ++c;
        }
        if (c > p) {
            screen_->printText(reinterpret_cast<const char*>(pending_.data() + p), c - p);
        }
        if (c >= pendingLength_) {
            break;
        }
        std::size_t next = interpretControl(c);
        if (next == c) {
            std::memmove(pending_.data(), pending_.data() + c, pendingLength_ - c);
            pendingLength_ -= c;
            pending_[pendingLength_] = 0;
            return;
        }
        p = next;
    }
    pendingLength_ = 0;
    pending_[0] = 0;
}

void TerminalParser::showCaret(std::uint8_t byte)
{
    char pair[2] = {'^', static_cast<char>(static_cast<std::uint8_t>(byte + 64))};
    screen_->printLiteral(pair, 2);
}

void TerminalParser::selectCharset(std::uint32_t charset)
{
    std::uint32_t flags = 0;
    std::uint32_t background = 0;
    screen_->getAttributes(flags, background);
    if (charset != 0 && (flags & charset) != 0) {
        return;
    }
    screen_->setAttributes((flags & ~CHARSET_MASK) | charset, background);
}

std::size_t TerminalParser::interpretControl(std::size_t at)
{
    std::uint8_t byte = pending_[at];
    switch (byte) {
    case 0:
    case 24:
    case 127: break;
    case 5: screen_->sendToHost(ANSWERBACK, sizeof ANSWERBACK - 1); break;
    case 7: screen_->ringBell(); break;
    case 8: screen_->moveCursor(0, -1); break;
    case 9: screen_->tabForward(); break;
    case 11:
    case 12: screen_->moveCursor(1, 0); break;
    case 14: selectCharset(CHARSET_SHIFT_OUT); break;
    case 15: selectCharset(CHARSET_SHIFT_IN); break;
    case 27: return interpretEscape(at);
    default: showCaret(byte); break;
    }
    return at + 1;
}

std::size_t TerminalParser::interpretEscape(std::size_t at)
{
    if (at + 1 >= pendingLength_) {
        return at;
    }
    std::uint8_t f = pending_[at + 1];
    switch (f) {
    case 'A': screen_->moveCursor(-1, 0); break;
    case 'B': screen_->moveCursor(1, 0); break;
    case 'C': screen_->moveCursor(0, 1); break;
    case 'D': screen_->moveCursor(0, -1); break;
    case 'E': screen_->printText("\n", 1); break;
    case 'F': selectCharset(CHARSET_GRAPHICS); break;
    case 'G': selectCharset(0); break;
    case 'H': screen_->setCursor(POS_START, POS_START); break;
    case 'I': screen_->moveCursor(-1, 0); break;
    case 'J': screen_->eraseRange(POS_CURSOR, POS_CURSOR, POS_END, POS_END); break;
    case 'K': screen_->eraseRange(POS_CURSOR, POS_CURSOR, POS_CURSOR, POS_END); break;
    case 'M': screen_->reverseIndex(); break;
    case 'N': selectCharset(CHARSET_SHIFT_OUT); break;
    case 'O': selectCharset(CHARSET_SHIFT_IN); break;
    case 'Z': screen_->sendToHost(ANSWERBACK, sizeof ANSWERBACK - 1); break;
    case '7': screen_->saveCursor(); break;
    case '8': screen_->restoreCursor(); break;
    case '(':
    case ')': {
        if (at + 2 >= pendingLength_) {
            return at;
        }
        std::uint8_t d = pending_[at + 2];
        if (d == '0') {
            selectCharset(CHARSET_SHIFT_OUT);
        } else if (d == '2') {
            selectCharset(CHARSET_SHIFT_IN);
        } else if (d == 'B') {
            selectCharset(0);
        }
        return at + 3;
    }
    case '[': return interpretSequence(at);
    case '#':
    case '-':
    case '<':
    case '=':
    case '>':
    case 'V':
    case 'W':
    case 'X':
    case 'Y':
    case ']':
    case '^':
    case 'c': break;
    default: {
        char shown[6] = {'<', 'e', 's', 'c', '>', static_cast<char>(f)};
        screen_->printText(shown, sizeof shown);
        break;
    }
    }
    return at + 2;
}

// ESC [ params final. Returns `at` while the sequence is unfinished.
std::size_t TerminalParser::interpretSequence(std::size_t at)
{
    std::size_t p = at + 2;
    if (p >= pendingLength_) {
        return at;
    }
    std::int32_t params[MAX_PARAMETERS] = {};
    std::size_t count = 0;
    for (;;) {
        std::int32_t value = 0;
        if (pending_[p] == ';') {
            if (++p >= pendingLength_) {
                return at;
            }
        }
        while (isDigit(pending_[p])) {
            value = accumulate(value, pending_[p]);
            if (++p >= pendingLength_) {
                return at;
            }
        }
        if (p > at + 2 && count < MAX_PARAMETERS) {
            params[count++] = value;
        }
        if (pending_[p] != ';') {
            break;
        }
    }
    std::int32_t p1 = count > 0 ? params[0] : 0;
    std::int32_t once = std::max(p1, 1);
    switch (pending_[p]) {
    case 'A': screen_->moveCursor(-once, 0); break;
    case 'B': screen_->moveCursor(once, 0); break;
    case 'C': screen_->moveCursor(0, once); break;
    case 'D': screen_->moveCursor(0, -once); break;
    case 'H':
    case 'f':
        if (count <= 2) {
            std::int32_t row = count >= 1 ? std::max(params[0], 1) : 1;
            std::int32_t column = count >= 2 ? std::max(params[1], 1) : 1;
            screen_->setCursor(row, column);
        }
        break;
    case 'J':
        if (count == 0 || p1 == 0) {
            screen_->eraseRange(POS_CURSOR, POS_CURSOR, POS_END, POS_END);
        } else if (p1 == 1) {
            screen_->eraseRange(POS_START, POS_START, POS_CURSOR, POS_CURSOR);
        } else {
            screen_->eraseRange(POS_START, POS_START, POS_END, POS_END);
        }
        break;
    case 'K':
        if (count == 0 || p1 == 0) {
            screen_->eraseRange(POS_CURSOR, POS_CURSOR, POS_CURSOR, POS_END);
        } else if (p1 == 1) {
            screen_->eraseRange(POS_CURSOR, POS_START, POS_CURSOR, POS_CURSOR);
        } else {
            screen_->eraseRange(POS_CURSOR, POS_START, POS_CURSOR, POS_END);
        }
        break;
    case 'L': screen_->insertLine(POS_CURSOR); break;
    case 'M': screen_->deleteCells(POS_CURSOR, POS_START, POS_CURSOR, POS_END, once); break;
    case 'P': screen_->deleteCells(POS_CURSOR, POS_CURSOR, POS_CURSOR, POS_CURSOR, once); break;
    case 'g':
        if (count == 0) {
            screen_->clearTabStops(POS_CURSOR);
        } else if (count == 1 && p1 == 3) {
            screen_->clearTabStops(TABS_ALL);
        }
        break;
    case 'm': selectRendition(params, count); break;
    case 'r':
        if (count == 0) {
            screen_->setScrollRegion(POS_START, POS_END);
        } else if (count == 2) {
            screen_->setScrollRegion(params[0], params[1]);
        }
        break;
    case '?': {
        std::size_t next = interpretPrivateMode(p + 1);
        return next == INCOMPLETE ? at : next;
    }
    default: break;
    }
    return p + 1;
}

// The bytes after ESC [ ... ?: one mode number, then h or l.
std::size_t TerminalParser::interpretPrivateMode(std::size_t p)
{
    std::int32_t mode = 0;
    for (;; ++p) {
        if (p >= pendingLength_) {
            return INCOMPLETE;
        }
        if (!isDigit(pending_[p])) {
            break;
        }
        mode = accumulate(mode, pending_[p]);
    }
    std::uint8_t final = pending_[p];
    if (mode > DEC_MODE_LAST || (final != 'h' && final != 'l')) {
        return p + 1;
    }
    std::uint32_t bit = DEC_MODE_BITS[mode];
    std::uint32_t modes = screen_->getModes();
    if (final == 'h' && (modes & bit) == 0) {
        screen_->setModes(modes | bit);
    } else if (final == 'l' && (modes & bit) != 0) {
        screen_->setModes(modes & ~bit);
    }
    return p + 1;
}

void TerminalParser::selectRendition(const std::int32_t* params, std::size_t count)
{
    std::uint32_t flags = 0;
    std::uint32_t background = 0;
    screen_->getAttributes(flags, background);
    if (count == 0) {
        flags &= ~SGR_RESET_MASK;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t value = params[i];
        if (value == 0) {
            flags &= ~SGR_RESET_MASK;
        } else if (value == 1) {
            flags |= FLAG_BOLD;
        } else if (value == 4) {
            flags |= FLAG_UNDERLINE;
        } else if (value == 5) {
            flags |= FLAG_BLINK;
        } else if (value == 7) {
            flags |= FLAG_REVERSE;
        } else if (value >= 30 && value <= 37) {
            flags = (flags & ~FLAG_FOREGROUND_MASK) | COLOUR_MAP[static_cast<std::size_t>(value - 30)];
        } else if (value >= 40 && value <= 47) {
            background = (background & ~std::uint32_t{7}) | COLOUR_MAP[static_cast<std::size_t>(value - 40)];
        }
    }
    screen_->setAttributes(flags, background);
}

}  // namespace kestrel
