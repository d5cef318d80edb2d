// The terminal's only input: splits bytes into printable runs for the
// ScreenBuffer and interprets C0 controls, VT52 escape letters and VT100
// control sequences (one interpreter for both terminal types).
//
// A sequence cut anywhere acts as if it had arrived whole: the unfinished tail
// of each feed is kept in a fixed pending buffer and re-scanned from its start
// when more bytes arrive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "terminal/screen_buffer.h"

namespace kestrel {

// Capacity of the pending buffer; also the longest unfinished sequence kept.
// A sequence still unfinished after this many bytes can only be hostile
// (parameters are digits and separators), so it is dropped with a message.
inline constexpr std::size_t PENDING_CAPACITY = 4096;

// Control-sequence parameters kept; further ones are parsed and ignored.
inline constexpr std::size_t MAX_PARAMETERS = 10;

// Parameter values saturate here: no screen is this large, and it keeps the
// cursor arithmetic and repeat counts far from 32-bit overflow.
inline constexpr std::int32_t MAX_PARAMETER_VALUE = 99999;

inline constexpr char OVERFLOW_MESSAGE[] = "ERROR: VT-100 internal buffer overflow!";
inline constexpr char ANSWERBACK[] = "vt100";

class TerminalParser {
public:
    TerminalParser() = default;
    TerminalParser(const TerminalParser&) = delete;
    TerminalParser& operator=(const TerminalParser&) = delete;

    // Remembers the buffer, empties the pending bytes and resets the terminal.
    void attach(ScreenBuffer& screen);

    // Interprets the bytes before the first 0; returns 0.
    int feedText(const char* text);
    // Interprets length bytes; -1 if an unfinished sequence outgrew the
    // pending buffer (the bytes are still interpreted, see PENDING_CAPACITY).
    int feedBytes(const char* bytes, std::size_t length);

    std::size_t pendingLength() const { return pendingLength_; }

private:
    void interpretPending();
    std::size_t interpretControl(std::size_t at);
    std::size_t interpretEscape(std::size_t at);
    std::size_t interpretSequence(std::size_t at);
    std::size_t interpretPrivateMode(std::size_t at);
    void selectRendition(const std::int32_t* params, std::size_t count);
    void selectCharset(std::uint32_t charset);
    void showCaret(std::uint8_t byte);

    ScreenBuffer* screen_ = nullptr;
    std::array<std::uint8_t, PENDING_CAPACITY + 1> pending_{};
    std::size_t pendingLength_ = 0;
};

}  // namespace kestrel
