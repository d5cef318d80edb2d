// The view side of the terminal: the ScreenBuffer reports what changed through
// this interface, synchronously, while the feeding thread holds the terminal
// lock (see terminal_lock.h for how the Win32 view avoids deadlocking on it).
#pragma once

#include <cstdint>

namespace kestrel {

// Private window-message numbers of the main window (WM_USER + 502 to 505).
// The Win32 view forwards each notify() unchanged to SendMessage.
inline constexpr std::uint32_t MSG_REPAINT_PENDING = 1526;
inline constexpr std::uint32_t MSG_INVALIDATE_CELLS = 1527;
inline constexpr std::uint32_t MSG_SEND_TO_HOST = 1528;
inline constexpr std::uint32_t MSG_SCROLLBACK_MOVED = 1529;

class TerminalObserver {
public:
    virtual ~TerminalObserver() = default;

    // message/wParam/lParam carry exactly what the window message would:
    //   MSG_REPAINT_PENDING   0, 0
    //   MSG_INVALIDATE_CELLS  packed last cell, packed first cell, each
    //                         (line - viewTop) * 256 + (column - 1)
    //   MSG_SEND_TO_HOST      pointer to zero-terminated bytes, their length
    //   MSG_SCROLLBACK_MOVED  new screenTop, 0
    // The call must not return before the view has handled the change: the
    // buffer may change again as soon as it returns, and the bytes of
    // MSG_SEND_TO_HOST are valid only during the call.
    virtual void notify(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // The platform's default beep.
    virtual void ringBell() = 0;
};

// Unpacks one MSG_INVALIDATE_CELLS parameter relative to the view's top line.
struct PackedCell {
    std::int32_t line;
    std::int32_t column;
};

inline PackedCell unpackCell(std::intptr_t packed, std::int32_t viewTop)
{
    auto value = static_cast<std::int32_t>(packed);
    // Arithmetic shift keeps lines above viewTop negative, as packed.
    std::int32_t lineOffset = value >= 0 ? value / 256 : -((-value + 255) / 256);
    return {lineOffset + viewTop, value - lineOffset * 256 + 1};
}

}  // namespace kestrel
