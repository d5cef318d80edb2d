// Lifecycle, storage management, notifications and selection of ScreenBuffer.
#include "terminal/screen_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kestrel {

ScreenBuffer::ScreenBuffer() = default;

void ScreenBuffer::resetTerminal()
{
    for (std::int32_t i = 0; i < 16; ++i) {
        tabStops_[static_cast<std::size_t>(i)] = 8 * (i + 1);
    }
    savedColumn_ = 1;
    savedLine_ = 1;
    cursorColumn_ = 1;
    cursorLine_ = 1;
    scrollTop_ = POS_START;
    scrollBottom_ = POS_END;
}

void ScreenBuffer::setStorageMode(StorageMode mode)
{
    std::lock_guard<TerminalLock> guard(lock_);
    storageMode_ = mode;
}

void ScreenBuffer::setScrollbackLines(std::int32_t lines)
{
    std::lock_guard<TerminalLock> guard(lock_);
    scrollbackSetting_ = std::clamp(lines, 0, MAX_SCROLLBACK_LINES);
}

void ScreenBuffer::releaseStorage()
{
    std::lock_guard<TerminalLock> guard(lock_);
    characters_.reset();
    attributes_.reset();
    capacityCells_ = 0;
    windowOffset_ = 0;
}

void ScreenBuffer::resize(std::int32_t columns, std::int32_t rows, std::uint32_t pixelWidth,
                          std::uint32_t pixelHeight, TerminalObserver* notifyWindow)
{
    std::lock_guard<TerminalLock> guard(lock_);
    columns_ = std::clamp(columns, 1, MAX_COLUMNS);
    rows_ = std::clamp(rows, 1, MAX_ROWS);
    pixelWidth_ = pixelWidth;
    pixelHeight_ = pixelHeight;
    notifyWindow_ = notifyWindow;
    sized_ = true;

    // The old contents keep their offsets in the (logical) arrays, so a change
    // of width re-divides the old text into lines of the new width.
    std::size_t oldCells = hasStorage() ? cellCount_ : 0;
    lineCount_ = rows_ + scrollbackSetting_;
    auto lines = static_cast<std::size_t>(lineCount_) + 1;
    cellCount_ = static_cast<std::uint32_t>(lines * static_cast<std::size_t>(columns_));
    std::size_t slack = storageMode_ == StorageMode::Sliding ? cellCount_ : 0;
    if (!allocate(cellCount_ + slack, oldCells) && !allocate(cellCount_, oldCells)) {
        characters_.reset();
        attributes_.reset();
        capacityCells_ = 0;
        windowOffset_ = 0;
    }
    // Shrinking would carry old text into the spare line, which must stay
    // empty: scans and deletions pull it into view.
    if (hasStorage()) {
        clearLines(lineCount_ + 1, 1);
    }

    screenTop_ = 1;
    screenBottom_ = rows_;
    scrollTop_ = 1;
    scrollBottom_ = rows_;
    cursorColumn_ = 1;
    cursorLine_ = 1;
    viewTop_ = screenTop_;
    viewEnd_ = rows_ + 1;
}

bool ScreenBuffer::allocate(std::size_t capacityCells, std::size_t keepCells)
{
    std::unique_ptr<std::uint8_t[]> chars(new (std::nothrow) std::uint8_t[capacityCells]());
    std::unique_ptr<std::uint32_t[]> attrs(new (std::nothrow) std::uint32_t[capacityCells]());
    if (!chars || !attrs) {
        return false;
    }
    std::size_t keep = std::min(keepCells, static_cast<std::size_t>(cellCount_));
    if (hasStorage() && keep > 0) {
        std::memcpy(chars.get(), characters_.get() + windowOffset_, keep);
        std::memcpy(attrs.get(), attributes_.get() + windowOffset_, keep * sizeof(std::uint32_t));
    }
    characters_ = std::move(chars);
    attributes_ = std::move(attrs);
    capacityCells_ = capacityCells;
    windowOffset_ = 0;
    return true;
}

const std::uint8_t* ScreenBuffer::characters() const
{
    return hasStorage() ? characters_.get() + windowOffset_ : nullptr;
}

const std::uint32_t* ScreenBuffer::attributes() const
{
    return hasStorage() ? attributes_.get() + windowOffset_ : nullptr;
}

std::size_t ScreenBuffer::cellIndex(std::int32_t line, std::int32_t column) const
{
    return static_cast<std::size_t>(line - 1) * static_cast<std::size_t>(columns_) +
           static_cast<std::size_t>(column - 1);
}

void ScreenBuffer::moveCells(std::size_t to, std::size_t from, std::size_t count)
{
    std::memmove(charAt(to), charAt(from), count);
    std::memmove(attrAt(to), attrAt(from), count * sizeof(std::uint32_t));
}

void ScreenBuffer::clearCells(std::size_t from, std::size_t count)
{
    std::memset(charAt(from), 0, count);
    std::memset(attrAt(from), 0, count * sizeof(std::uint32_t));
}

void ScreenBuffer::clearLines(std::int32_t line, std::int32_t count)
{
    clearCells(cellIndex(line, 1), static_cast<std::size_t>(count) * static_cast<std::size_t>(columns_));
}

// The storage moves up one line: the oldest history line is lost and a fresh
// spare line appears. Sliding the window costs one line; only when the window
// reaches the end of the allocation is it copied back to the start.
void ScreenBuffer::slideStorage()
{
    auto width = static_cast<std::size_t>(columns_);
    if (windowOffset_ + cellCount_ + width <= capacityCells_) {
        windowOffset_ += width;
    } else {
        std::memmove(characters_.get(), characters_.get() + windowOffset_ + width, cellCount_ - width);
        std::memmove(attributes_.get(), attributes_.get() + windowOffset_ + width,
                     (cellCount_ - width) * sizeof(std::uint32_t));
        windowOffset_ = 0;
    }
    clearLines(lineCount_ + 1, 1);
}

void ScreenBuffer::notify(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (notifyWindow_ == nullptr) {
        return;
    }
    NotifyScope scope(lock_);
    notifyWindow_->notify(message, wParam, lParam);
}

void ScreenBuffer::invalidate(std::int32_t firstLine, std::int32_t firstColumn, std::int32_t lastLine,
                              std::int32_t lastColumn)
{
    std::intptr_t last = static_cast<std::intptr_t>(lastLine - viewTop_) * 256 + (lastColumn - 1);
    std::intptr_t first = static_cast<std::intptr_t>(firstLine - viewTop_) * 256 + (firstColumn - 1);
    notify(MSG_INVALIDATE_CELLS, static_cast<std::uintptr_t>(last), first);
}

void ScreenBuffer::invalidateCursorCell()
{
    invalidate(cursorLine_, cursorColumn_, cursorLine_, cursorColumn_);
}

void ScreenBuffer::ringBell()
{
    if (notifyWindow_ != nullptr) {
        NotifyScope scope(lock_);
        notifyWindow_->ringBell();
    }
}

void ScreenBuffer::sendToHost(const char* text, std::size_t length)
{
    // The view hands the bytes on as a zero-terminated string.
    std::string copy(text, length);
    notify(MSG_SEND_TO_HOST, reinterpret_cast<std::uintptr_t>(copy.c_str()),
           static_cast<std::intptr_t>(length));
}

std::string ScreenBuffer::selectionBytes(std::int32_t column1, std::int32_t line1, std::int32_t column2,
                                         std::int32_t line2) const
{
    std::string text;
    if (!hasStorage()) {
        return text;
    }
    line1 = std::clamp(line1, 1, lineCount_);
    line2 = std::clamp(line2, 1, lineCount_);
    // The view measures columns from the pen position, which may lie left of
    // the grid or in the blank margin right of it.
    column1 = std::clamp(column1, 0, columns_);
    column2 = std::clamp(column2, 0, columns_);
    if (line2 < line1 || (line1 == line2 && column2 < column1)) {
        std::swap(line1, line2);
        std::swap(column1, column2);
    }
    const std::uint8_t* cells = characters();
    auto appendPiece = [&](std::int32_t line, std::int32_t from, std::int32_t to) {
        const std::uint8_t* row = cells + cellIndex(line, 1);
        for (std::int32_t c = from; c < to && row[c] != 0; ++c) {
            text.push_back(static_cast<char>(row[c]));
        }
    };
    if (line1 == line2) {
        appendPiece(line1, column1, column2);
        return text;
    }
    appendPiece(line1, column1, columns_);
    for (std::int32_t line = line1 + 1; line < line2; ++line) {
        text += "\r\n";
        appendPiece(line, 0, columns_);
    }
    text += "\r\n";
    appendPiece(line2, 0, column2);
    return text;
}

std::u16string ScreenBuffer::selectionText(std::int32_t column1, std::int32_t line1, std::int32_t column2,
                                           std::int32_t line2) const
{
    std::string bytes = selectionBytes(column1, line1, column2, line2);
    std::u16string text;
    text.reserve(bytes.size());
    for (char byte : bytes) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(byte)));
    }
    return text;
}

}  // namespace kestrel
