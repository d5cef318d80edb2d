// Printing, cursor movement and the editing operations of ScreenBuffer.
#include <algorithm>
#include <cstring>

#include "terminal/screen_buffer.h"

namespace kestrel {

namespace {

std::int32_t clamp64(std::int64_t value, std::int32_t low, std::int32_t high)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, low, high));
}

// Length of the run of bytes stored as characters; memchr keeps the per-byte
// cost of plain text low.
std::size_t printableRun(const std::uint8_t* bytes, std::size_t limit, bool literal)
{
    std::size_t n = limit;
    auto cut = [&](int value) {
        if (const void* found = std::memchr(bytes, value, n)) {
            n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes);
        }
    };
    cut(0);
    if (!literal) {
        cut('\r');
        cut('\n');
    }
    return n;
}

}  // namespace

std::int32_t ScreenBuffer::resolveRow(std::int32_t row) const
{
    switch (row) {
    case POS_CURSOR: return cursorLine_;
    case POS_START: return screenTop_;
    case POS_END: return screenBottom_;
    default: return clamp64(std::int64_t{screenTop_} + row - 1, screenTop_, screenBottom_);
    }
}

std::int32_t ScreenBuffer::resolveColumn(std::int32_t column) const
{
    switch (column) {
    case POS_CURSOR: return cursorColumn_;
    case POS_START: return 1;
    case POS_END: return columns_ + 1;
    default: return std::clamp(column, 1, columns_ + 1);
    }
}

// An inverted region (top below bottom once limited to the screen) scrolls
// the whole screen, as if no region had been set.
void ScreenBuffer::resolveRegion(std::int32_t& top, std::int32_t& bottom) const
{
    auto resolve = [this](std::int32_t value) {
        if (value == POS_START) return 1;
        if (value == POS_END) return rows_;
        return std::clamp(value, 1, rows_);
    };
    top = resolve(scrollTop_);
    bottom = resolve(scrollBottom_);
    if (top > bottom) {
        top = 1;
        bottom = rows_;
    }
}

void ScreenBuffer::printText(const char* text, std::size_t length)
{
    print(text, length, false);
}

// Caret notation must show its character, never act on it: byte 0xCA shown
// as "^" plus 0x0A would otherwise feed a line.
void ScreenBuffer::printLiteral(const char* text, std::size_t length)
{
    print(text, length, true);
}

void ScreenBuffer::print(const char* text, std::size_t length, bool literal)
{
    if (!hasStorage()) {
        return;
    }
    auto bytes = reinterpret_cast<const std::uint8_t*>(text);
    std::int32_t furthest = cursorColumn_;
    bool fedLine = false;
    const std::uint32_t attribute = currentFlags_ * 256 + currentBackground_;
    std::size_t p = 0;
    while (p < length && bytes[p] != 0) {
        std::uint8_t byte = bytes[p];
        if (!literal && (byte == '\n' || byte == '\r')) {
            ++p;
            if (byte == '\r' && !(p < length && bytes[p] == '\n')) {
                cursorColumn_ = 1;
                continue;
            }
            if (byte == '\r') {
                ++p;
            }
            fedLine = true;
            cursorColumn_ = 1;
            lineFeed();
            continue;
        }
        std::int32_t room = columns_ + 1 - cursorColumn_;
        if (room <= 0) {
            // Deferred wrap: only a printable byte past the last column wraps.
            fedLine = true;
            cursorColumn_ = 1;
            lineFeed();
            continue;
        }
        std::size_t n = printableRun(bytes + p, std::min(length - p, static_cast<std::size_t>(room)), literal);
        std::size_t at = cellIndex(cursorLine_, cursorColumn_);
        std::memcpy(charAt(at), bytes + p, n);
        if (attribute == 0) {
            std::memset(attrAt(at), 0, n * sizeof(std::uint32_t));
        } else {
            std::fill_n(attrAt(at), n, attribute);
        }
        cursorColumn_ += static_cast<std::int32_t>(n);
        furthest = std::max(furthest, cursorColumn_);
        p += n;
    }
    if (fedLine) {
        notify(MSG_REPAINT_PENDING, 0, 0);
    } else if (p == 0) {
        invalidateCursorCell();
    } else {
        invalidate(cursorLine_, 1, cursorLine_, furthest);
    }
}

void ScreenBuffer::lineFeed()
{
    std::int32_t top = 0;
    std::int32_t bottom = 0;
    resolveRegion(top, bottom);
    std::int32_t regionBottomLine = screenTop_ + bottom - 1;
    if (cursorLine_ < regionBottomLine) {
        ++cursorLine_;
    } else if (top != 1 || bottom != rows_) {
        scrollRegionUp(top, bottom);
    } else if (screenBottom_ < lineCount_) {
        cursorLine_ = std::min(cursorLine_ + 1, lineCount_);
        screenBottom_ = cursorLine_;
        screenTop_ = screenBottom_ - rows_ + 1;
        notify(MSG_SCROLLBACK_MOVED, static_cast<std::uintptr_t>(screenTop_), 0);
    } else {
        slideStorage();
    }
}

void ScreenBuffer::scrollRegionUp(std::int32_t top, std::int32_t bottom)
{
    std::int32_t first = screenTop_ + top - 1;
    std::int32_t last = screenTop_ + bottom - 1;
    auto width = static_cast<std::size_t>(columns_);
    moveCells(cellIndex(first, 1), cellIndex(first + 1, 1), static_cast<std::size_t>(last - first) * width);
    clearLines(last, 1);
}

void ScreenBuffer::scrollRegionDown(std::int32_t top, std::int32_t bottom)
{
    std::int32_t first = screenTop_ + top - 1;
    std::int32_t last = screenTop_ + bottom - 1;
    auto width = static_cast<std::size_t>(columns_);
    moveCells(cellIndex(first + 1, 1), cellIndex(first, 1), static_cast<std::size_t>(last - first) * width);
    clearLines(first, 1);
}

void ScreenBuffer::moveCursor(std::int32_t lineDelta, std::int32_t columnDelta)
{
    invalidateCursorCell();
    cursorColumn_ = clamp64(std::int64_t{cursorColumn_} + columnDelta, 1, columns_ + 1);
    cursorLine_ = clamp64(std::int64_t{cursorLine_} + lineDelta, screenTop_, screenBottom_);
    invalidateCursorCell();
}

void ScreenBuffer::setCursor(std::int32_t row, std::int32_t column)
{
    std::int32_t line = resolveRow(row);
    std::int32_t col = resolveColumn(column);
    invalidateCursorCell();
    cursorLine_ = line;
    cursorColumn_ = col;
    invalidateCursorCell();
}

void ScreenBuffer::saveCursor()
{
    savedColumn_ = cursorColumn_;
    savedLine_ = cursorLine_;
}

// The saved line may lie in the history by now, which is kept; but a resize
// since the save may have put it below the screen or past the storage.
void ScreenBuffer::restoreCursor()
{
    cursorColumn_ = std::clamp(savedColumn_, 1, columns_ + 1);
    cursorLine_ = std::clamp(savedLine_, 1, std::max(screenBottom_, 1));
    notify(MSG_REPAINT_PENDING, 0, 0);
}

void ScreenBuffer::getAttributes(std::uint32_t& flags, std::uint32_t& background) const
{
    flags = currentFlags_;
    background = currentBackground_;
}

void ScreenBuffer::setAttributes(std::uint32_t flags, std::uint32_t background)
{
    currentFlags_ = flags;
    currentBackground_ = background;
}

void ScreenBuffer::eraseRange(std::int32_t row1, std::int32_t column1, std::int32_t row2, std::int32_t column2)
{
    if (!hasStorage()) {
        return;
    }
    std::size_t from = cellIndex(resolveRow(row1), resolveColumn(column1));
    std::size_t to = cellIndex(resolveRow(row2), resolveColumn(column2));
    if (to > from) {
        std::memset(charAt(from), 0, to - from);
    }
    notify(MSG_REPAINT_PENDING, 0, 0);
}

// `times` deletions of the same range in one pass: every deletion resolves
// the same positions and sends the same invalidation, so k of them remove k
// range widths from the front of what the first one moves, and one
// invalidation stands for all.
void ScreenBuffer::deleteCells(std::int32_t row1, std::int32_t column1, std::int32_t row2, std::int32_t column2,
                               std::int32_t times)
{
    if (!hasStorage() || times < 1) {
        return;
    }
    std::int32_t line1 = resolveRow(row1);
    std::int32_t col1 = resolveColumn(column1);
    std::int32_t line2 = resolveRow(row2);
    std::int32_t col2 = resolveColumn(column2);
    if (line1 != line2 || col2 - col1 >= columns_) {
        std::size_t to = cellIndex(line1, col1);
        std::size_t from = cellIndex(line2, col2);
        if (from > to) {
            deleteFront(to, cellCount_ - to, from - to, times);
        }
        invalidate(line1, col1, screenBottom_, col2);
        return;
    }
    std::int32_t last = std::min(col2, columns_);
    if (col1 <= last) {
        // The cells after the range move up to the first empty one; later
        // deletions find the moved run ending where the first left it.
        const std::uint8_t* row = charAt(cellIndex(line1, 1));
        std::int32_t end = last + 1;  // first empty cell after the range, or columns + 1
        while (end <= columns_ && row[end - 1] != 0) {
            ++end;
        }
        deleteFront(cellIndex(line1, col1), static_cast<std::size_t>(end - col1),
                    static_cast<std::size_t>(last + 1 - col1), times);
    }
    invalidate(line1, col1, line1, col2 + 1);
}

// Removes `times` runs of `width` cells from the front of the `span` cells at
// `at`, filling the end of the span with empty cells.
void ScreenBuffer::deleteFront(std::size_t at, std::size_t span, std::size_t width, std::int32_t times)
{
    std::size_t shift = width * static_cast<std::size_t>(times);
    if (shift / width != static_cast<std::size_t>(times) || shift > span) {
        shift = span;
    }
    moveCells(at, at + shift, span - shift);
    clearCells(at + span - shift, shift);
}

void ScreenBuffer::insertLine(std::int32_t at)
{
    if (!hasStorage()) {
        return;
    }
    std::int32_t line = std::clamp(at == POS_CURSOR ? cursorLine_ : at, 1, lineCount_);
    auto width = static_cast<std::size_t>(columns_);
    moveCells(cellIndex(line + 1, 1), cellIndex(line, 1), static_cast<std::size_t>(lineCount_ - line) * width);
    clearLines(line, 1);
    notify(MSG_REPAINT_PENDING, 0, 0);
}

void ScreenBuffer::reverseIndex()
{
    if (!hasStorage()) {
        return;
    }
    std::int32_t top = 0;
    std::int32_t bottom = 0;
    resolveRegion(top, bottom);
    scrollRegionDown(top, bottom);
    notify(MSG_REPAINT_PENDING, 0, 0);
}

void ScreenBuffer::setScrollRegion(std::int32_t top, std::int32_t bottom)
{
    scrollTop_ = top;
    scrollBottom_ = bottom;
}

}  // namespace kestrel
