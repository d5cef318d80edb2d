#include "posix/screen_painter.h"

#include <algorithm>

namespace kestrel::client {

namespace {

constexpr uint32_t ATTRIBUTE_REVERSE = FLAG_REVERSE << 8;
constexpr uint32_t ATTRIBUTE_BIT7 = 0x80;
constexpr uint32_t ATTRIBUTE_BOLD = FLAG_BOLD << 8;

// 256-colour indexes nearest the view's colours: 16 black, 231 white, 241 grey.
const char* const SELECT_STYLE[] = {
    "\x1b[0;38;5;16;48;5;231m",
    "\x1b[0;38;5;231;48;5;16m",
    "\x1b[0;1;38;5;241;48;5;231m",
};

void moveTo(std::string& out, int row, int column) {
    out += "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
}

} // namespace

uint8_t styleFor(uint32_t attribute, uint8_t previous) {
    if ((attribute & (ATTRIBUTE_REVERSE | ATTRIBUTE_BIT7)) != 0)
        return STYLE_REVERSE;
    if ((attribute & ATTRIBUTE_BOLD) != 0)
        return STYLE_BOLD;
    if (attribute < 256)
        return STYLE_NORMAL;
    return previous;
}

Frame captureFrame(const ScreenBuffer& screen, int columns, int rows, int scrolledBack) {
    Frame frame;
    frame.columns = std::max(columns, 1);
    frame.rows = std::max(rows, 1);
    frame.cells.assign(std::size_t(frame.columns) * std::size_t(frame.rows), ShownCell{});
    const uint8_t* characters = screen.characters();
    const uint32_t* attributes = screen.attributes();
    if (!screen.sized() || characters == nullptr)
        return frame;
    int firstLine = screen.screenTop() - scrolledBack;
    int shownRows = std::min(frame.rows, int(screen.rows()));
    int shownColumns = std::min(frame.columns, int(screen.columns()));
    for (int row = 0; row < shownRows; ++row) {
        int line = firstLine + row;
        if (line < 1 || line > screen.lineCount())
            continue;
        std::size_t base = std::size_t(line - 1) * std::size_t(screen.columns());
        uint8_t look = STYLE_NORMAL;
        for (int column = 0; column < shownColumns; ++column) {
            uint8_t character = characters[base + std::size_t(column)];
            if (character == 0)
                continue; // an empty cell shows the background whatever its attribute
            look = styleFor(attributes[base + std::size_t(column)], look);
            frame.at(row, column) = {character, look};
        }
    }
    int cursorRow = screen.cursorLine() - firstLine;
    if (cursorRow >= 0 && cursorRow < shownRows) {
        frame.cursorRow = cursorRow;
        frame.cursorColumn = std::clamp(int(screen.cursorColumn()) - 1, 0, frame.columns - 1);
    }
    return frame;
}

void overlayText(Frame& frame, int row, int column, std::string_view text, uint8_t style) {
    if (row < 0 || row >= frame.rows)
        return;
    for (std::size_t i = 0; i < text.size(); ++i) {
        int at = column + int(i);
        if (at >= 0 && at < frame.columns)
            frame.at(row, at) = {uint8_t(text[i]), style};
    }
}

void ScreenPainter::appendGlyph(std::string& out, uint8_t character) const {
    if (character < 0x20 || (character >= 0x7f && character < 0xa0)) {
        out += '?';
    } else if (character < 0x80 || !utf8_) {
        out += char(character);
    } else {
        out += char(0xc0 | (character >> 6));
        out += char(0x80 | (character & 0x3f));
    }
}

void ScreenPainter::paintSpan(std::string& out, const Frame& frame, int row, int first, int last) {
    moveTo(out, row, first);
    const ShownCell* cells = &frame.cells[std::size_t(row) * std::size_t(frame.columns)];
    for (int column = first; column <= last; ++column) {
        if (cells[column].style != selected_) {
            selected_ = cells[column].style;
            out += SELECT_STYLE[selected_];
        }
        appendGlyph(out, cells[column].character);
    }
}

std::string ScreenPainter::paint(const Frame& frame) {
    std::string out;
    bool whole = !shownValid_ || shown_.columns != frame.columns || shown_.rows != frame.rows;
    if (whole)
        selected_ = STYLE_UNKNOWN;
    for (int row = 0; row < frame.rows; ++row) {
        std::size_t base = std::size_t(row) * std::size_t(frame.columns);
        int spanStart = -1;
        int spanEnd = -1;
        for (int column = 0; column < frame.columns; ++column) {
            bool differs = whole || !(frame.cells[base + std::size_t(column)] == shown_.cells[base + std::size_t(column)]);
            if (!differs)
                continue;
            if (spanStart >= 0 && column - spanEnd > SKIP_THRESHOLD) {
                if (out.empty() && cursorShown_)
                    out += "\x1b[?25l";
                paintSpan(out, frame, row, spanStart, spanEnd);
                spanStart = -1;
            }
            if (spanStart < 0)
                spanStart = column;
            spanEnd = column;
        }
        if (spanStart >= 0) {
            if (out.empty() && cursorShown_)
                out += "\x1b[?25l";
            paintSpan(out, frame, row, spanStart, spanEnd);
        }
    }
    bool drew = !out.empty();
    bool cursorMoved = frame.cursorRow != shown_.cursorRow || frame.cursorColumn != shown_.cursorColumn;
    if (frame.cursorRow >= 0 && (drew || cursorMoved || whole || !cursorShown_)) {
        moveTo(out, frame.cursorRow, frame.cursorColumn);
        out += "\x1b[?25h";
        cursorShown_ = true;
    } else if (frame.cursorRow < 0 && (drew || cursorShown_)) {
        if (cursorShown_ || whole)
            out += "\x1b[?25l";
        cursorShown_ = false;
    }
    shown_ = frame;
    shownValid_ = true;
    return out;
}

std::string restoreSequence(int row) {
    std::string out = "\x1b[0m\x1b[?25h";
    moveTo(out, std::max(row, 0), 0);
    return out + "\r\n";
}

} // namespace kestrel::client
