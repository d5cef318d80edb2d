// The terminal's cells (screen plus scroll-back history above it), the cursor,
// the attributes new characters get, the scroll region, the tab stops and the
// DEC mode word; and the editing operations the TerminalParser derives from
// the host's output.
//
// Geometry: buffer lines and columns count from 1. The storage is lineCount+1
// lines (the last, the spare line, always empty) read by the view through
// characters()/attributes(): cell (line n, column c) is element
// (n-1)*columns + (c-1) of both. The live screen is lines screenTop..screenBottom.
// Both pointers may move within their allocation after any edit (the storage
// slides instead of being copied), so read them afresh for every paint; they
// stay valid, wherever they point, until the next resize or releaseStorage.
//
// Locking: see terminal_lock.h. resize, setScrollbackLines and releaseStorage
// lock internally; the editing operations expect the caller (the parser) to
// hold lock(); the read accessors never lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "terminal/terminal_lock.h"
#include "terminal/terminal_observer.h"

namespace kestrel {

// Position markers accepted for rows and columns by the editing operations.
inline constexpr std::int32_t POS_CURSOR = -999;
inline constexpr std::int32_t POS_START = 0;
inline constexpr std::int32_t POS_END = 12000;
inline constexpr std::int32_t TABS_ALL = -1999;

// Bits of currentFlags; a stored cell word is currentFlags * 256 + background.
inline constexpr std::uint32_t FLAG_FOREGROUND_MASK = 0x007;
inline constexpr std::uint32_t FLAG_BOLD = 0x010;
inline constexpr std::uint32_t FLAG_UNDERLINE = 0x020;
inline constexpr std::uint32_t FLAG_BLINK = 0x040;
inline constexpr std::uint32_t FLAG_REVERSE = 0x080;
inline constexpr std::uint32_t CHARSET_SHIFT_IN = 0x200;
inline constexpr std::uint32_t CHARSET_SHIFT_OUT = 0x400;
inline constexpr std::uint32_t CHARSET_GRAPHICS = 0x800;
inline constexpr std::uint32_t CHARSET_MASK = CHARSET_SHIFT_IN | CHARSET_SHIFT_OUT | CHARSET_GRAPHICS;

// SGR colour digit to stored colour index; 6 (cyan) is stored as 3 on purpose,
// stored cells and the view's palette both depend on it.
inline constexpr std::array<std::uint32_t, 8> COLOUR_MAP = {0, 1, 2, 3, 4, 5, 3, 7};

inline constexpr std::int32_t TAB_STOP_COUNT = 132;

// The settings dialog offers 0 to 500 lines; more would make the storage (and
// the view's scroll range) larger than the device can afford.
inline constexpr std::int32_t MAX_SCROLLBACK_LINES = 500;
// Geometry comes from the view's font metrics; these bounds keep cellCount far
// inside 32 bits. A change report carries a column in one byte (column - 1, 0
// to 255) and the cursor may stand one column past the last, so a wider
// screen would make the view repaint the wrong cells.
inline constexpr std::int32_t MAX_COLUMNS = 255;
inline constexpr std::int32_t MAX_ROWS = 1024;

class ScreenBuffer {
public:
    // Sliding keeps a spare window of lines after the storage so that a line
    // feed at the bottom of a full storage costs O(columns); Plain moves the
    // whole storage every time. Both give identical contents.
    enum class StorageMode { Sliding, Plain };

    ScreenBuffer();
    ScreenBuffer(const ScreenBuffer&) = delete;
    ScreenBuffer& operator=(const ScreenBuffer&) = delete;

    // Lifecycle and geometry.
    void resetTerminal();
    void resize(std::int32_t columns, std::int32_t rows, std::uint32_t pixelWidth, std::uint32_t pixelHeight,
                TerminalObserver* notifyWindow);
    void setScrollbackLines(std::int32_t lines);
    void releaseStorage();
    void setStorageMode(StorageMode mode);  // takes effect at the next resize

    // Editing; the caller holds lock().
    void printText(const char* text, std::size_t length);
    void printLiteral(const char* text, std::size_t length);
    void moveCursor(std::int32_t lineDelta, std::int32_t columnDelta);
    void setCursor(std::int32_t row, std::int32_t column);
    void saveCursor();
    void restoreCursor();
    void getAttributes(std::uint32_t& flags, std::uint32_t& background) const;
    void setAttributes(std::uint32_t flags, std::uint32_t background);
    void eraseRange(std::int32_t row1, std::int32_t column1, std::int32_t row2, std::int32_t column2);
    // As many deletions of the range as `times` says, at the cost of one.
    void deleteCells(std::int32_t row1, std::int32_t column1, std::int32_t row2, std::int32_t column2,
                     std::int32_t times = 1);
    void insertLine(std::int32_t at);
    void reverseIndex();
    void setScrollRegion(std::int32_t top, std::int32_t bottom);
    std::uint32_t getModes() const { return modeWord_; }
    void setModes(std::uint32_t modes) { modeWord_ = modes; }
    void ringBell();
    void sendToHost(const char* text, std::size_t length);
    void tabForward() {}
    void clearTabStops(std::int32_t) {}

    // For the view. Columns are 0-based cell offsets, column2 exclusive; lines
    // are buffer lines. The bytes form is what the Win32 view converts with the
    // device's code page; the UTF-16 form reads the cells as Latin-1.
    std::string selectionBytes(std::int32_t column1, std::int32_t line1, std::int32_t column2,
                               std::int32_t line2) const;
    std::u16string selectionText(std::int32_t column1, std::int32_t line1, std::int32_t column2,
                                 std::int32_t line2) const;

    // Field reads (the record's fields, in its order).
    const std::uint32_t* attributes() const;
    std::int32_t screenTop() const { return screenTop_; }
    std::int32_t screenBottom() const { return screenBottom_; }
    std::int32_t viewTop() const { return viewTop_; }
    std::int32_t viewEnd() const { return viewEnd_; }
    void setViewTop(std::int32_t line) { viewTop_ = line; }
    void setViewEnd(std::int32_t line) { viewEnd_ = line; }
    std::int32_t scrollTop() const { return scrollTop_; }
    std::int32_t scrollBottom() const { return scrollBottom_; }
    std::int32_t rows() const { return rows_; }
    std::int32_t columns() const { return columns_; }
    bool sized() const { return sized_; }
    std::int32_t lineCount() const { return lineCount_; }
    std::uint32_t cellCount() const { return cellCount_; }
    std::uint32_t pixelWidth() const { return pixelWidth_; }
    std::uint32_t pixelHeight() const { return pixelHeight_; }
    std::uint32_t currentFlags() const { return currentFlags_; }
    std::uint32_t currentBackground() const { return currentBackground_; }
    std::int32_t savedColumn() const { return savedColumn_; }
    std::int32_t savedLine() const { return savedLine_; }
    std::int32_t cursorColumn() const { return cursorColumn_; }
    std::int32_t cursorLine() const { return cursorLine_; }
    const std::array<std::int32_t, TAB_STOP_COUNT>& tabStops() const { return tabStops_; }
    const std::uint8_t* characters() const;
    TerminalObserver* notifyWindow() const { return notifyWindow_; }
    std::uint32_t modeWord() const { return modeWord_; }
    std::int32_t scrollbackLines() const { return scrollbackSetting_; }

    TerminalLock& lock() { return lock_; }

private:
    bool hasStorage() const { return characters_ != nullptr; }
    std::size_t cellIndex(std::int32_t line, std::int32_t column) const;
    std::uint8_t* charAt(std::size_t index) { return characters_.get() + windowOffset_ + index; }
    std::uint32_t* attrAt(std::size_t index) { return attributes_.get() + windowOffset_ + index; }
    std::int32_t resolveRow(std::int32_t row) const;
    std::int32_t resolveColumn(std::int32_t column) const;
    void resolveRegion(std::int32_t& top, std::int32_t& bottom) const;

    void print(const char* text, std::size_t length, bool literal);
    void lineFeed();
    void scrollRegionUp(std::int32_t top, std::int32_t bottom);
    void scrollRegionDown(std::int32_t top, std::int32_t bottom);
    void slideStorage();
    void moveCells(std::size_t to, std::size_t from, std::size_t count);
    void clearCells(std::size_t from, std::size_t count);
    void deleteFront(std::size_t at, std::size_t span, std::size_t width, std::int32_t times);
    void clearLines(std::int32_t line, std::int32_t count);
    bool allocate(std::size_t capacityCells, std::size_t keepCells);

    void notify(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    void invalidate(std::int32_t firstLine, std::int32_t firstColumn, std::int32_t lastLine, std::int32_t lastColumn);
    void invalidateCursorCell();

    TerminalLock lock_;

    std::int32_t screenTop_ = 1;
    std::int32_t screenBottom_ = 1;
    std::int32_t viewTop_ = 1;
    std::int32_t viewEnd_ = 1;
    std::int32_t scrollTop_ = POS_START;
    std::int32_t scrollBottom_ = POS_END;
    std::int32_t rows_ = 0;
    std::int32_t columns_ = 0;
    bool sized_ = false;
    std::int32_t lineCount_ = 0;
    std::uint32_t cellCount_ = 0;
    std::uint32_t pixelWidth_ = 0;
    std::uint32_t pixelHeight_ = 0;
    std::uint32_t currentFlags_ = 0;
    std::uint32_t currentBackground_ = 0;
    std::int32_t savedColumn_ = 1;
    std::int32_t savedLine_ = 1;
    std::int32_t cursorColumn_ = 1;
    std::int32_t cursorLine_ = 1;
    std::array<std::int32_t, TAB_STOP_COUNT> tabStops_{};
    TerminalObserver* notifyWindow_ = nullptr;
    std::uint32_t modeWord_ = 0;

    std::int32_t scrollbackSetting_ = 100;
    StorageMode storageMode_ = StorageMode::Sliding;
    // The storage seen through characters() starts windowOffset_ cells into
    // the allocation of capacityCells_ cells.
    std::unique_ptr<std::uint8_t[]> characters_;
    std::unique_ptr<std::uint32_t[]> attributes_;
    std::size_t capacityCells_ = 0;
    std::size_t windowOffset_ = 0;
};

}  // namespace kestrel
