// Draws the ScreenBuffer into the user's terminal: a frame is read from the
// buffer's cells and attributes, and the painter writes only the cells that
// differ from what the terminal already shows.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/screen_buffer.h"

namespace kestrel::client {

// The handheld view's colour table has three looks.
constexpr uint8_t STYLE_NORMAL = 0;  // black on white
constexpr uint8_t STYLE_REVERSE = 1; // white on black
constexpr uint8_t STYLE_BOLD = 2;    // grey (0x646464) on white
constexpr uint8_t STYLE_UNKNOWN = 0xff;

// Unchanged cells shorter than this between two changed ones are rewritten
// rather than skipped: a cursor move costs about as many bytes.
constexpr int SKIP_THRESHOLD = 8;

struct ShownCell {
    uint8_t character = ' ';
    uint8_t style = STYLE_NORMAL;
    bool operator==(const ShownCell&) const = default;
};

struct Frame {
    int columns = 0;
    int rows = 0;
    std::vector<ShownCell> cells; // row after row
    int cursorRow = -1;           // from 0; -1 hides the cursor
    int cursorColumn = 0;

    ShownCell& at(int row, int column) { return cells[std::size_t(row) * std::size_t(columns) + std::size_t(column)]; }
};

// The look of a cell by its attribute word, as the view's colour table has
// it: reverse (flag or bit 7) first, then bold, then plain; any other flag
// keeps the look of the cell before it on the line.
uint8_t styleFor(uint32_t attribute, uint8_t previous);

// The terminal's size in cells; the view starts scrolledBack lines above the
// live screen. The caller holds the buffer's lock.
Frame captureFrame(const ScreenBuffer& screen, int columns, int rows, int scrolledBack);
// Writes text over a frame, clipped to its width.
void overlayText(Frame& frame, int row, int column, std::string_view text, uint8_t style);

class ScreenPainter {
public:
    // utf8: the user's terminal takes UTF-8, so Latin-1 cells are converted.
    explicit ScreenPainter(bool utf8) : utf8_(utf8) {}

    // The terminal's contents are unknown (start, resize): repaint it all.
    void forget() { shownValid_ = false; }
    // The bytes that turn what the terminal shows into the frame.
    std::string paint(const Frame& frame);

private:
    void paintSpan(std::string& out, const Frame& frame, int row, int first, int last);
    void appendGlyph(std::string& out, uint8_t character) const;

    bool utf8_;
    Frame shown_;
    bool shownValid_ = false;
    uint8_t selected_ = STYLE_UNKNOWN;
    bool cursorShown_ = true;
};

// Leaves the terminal with default colours, a visible cursor, and the cursor
// at the start of the line below the given row (from 0).
std::string restoreSequence(int row);

} // namespace kestrel::client
