// A stable text form of a ScreenBuffer and of its notifications, for vtreplay,
// the tests and the headless client. The format is documented in
// tools/vtreplay/README.md; change it only together with that file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "terminal/screen_buffer.h"

namespace kestrel {

struct DumpOptions {
    bool attributes = false;  // add an "attrs" line after every buffer line
};

// Shown for an empty cell (character 0) that lies before the end of a line's
// text; a literal backtick in a cell is shown as \x60 instead.
inline constexpr char DUMP_EMPTY_CELL = '`';

std::string dumpScreen(const ScreenBuffer& screen, const DumpOptions& options = {});

// Bytes as the dump shows them: printable ASCII as is, anything else as \xHH.
std::string escapeBytes(const std::uint8_t* bytes, std::size_t length);

// Records every notification as one "event ..." line.
class EventRecorder : public TerminalObserver {
public:
    // screen, when given, lets invalidate-cells events name buffer lines.
    explicit EventRecorder(const ScreenBuffer* screen = nullptr) : screen_(screen) {}

    void notify(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void ringBell() override;

    const std::vector<std::string>& events() const { return events_; }
    void clear() { events_.clear(); }

private:
    const ScreenBuffer* screen_;
    std::vector<std::string> events_;
};

}  // namespace kestrel
