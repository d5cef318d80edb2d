// Painting the terminal: runs of equal attribute, one text call each; the
// cursor by exclusive-or with the cursor block; the selection by inverting.
#include <algorithm>
#include <cstdlib>

#include "shell/session_commands.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"
#include "shell/view_resources.h"

namespace kestrel {

namespace {

constexpr std::uint32_t ATTRIBUTE_REVERSE = FLAG_REVERSE << 8;
constexpr std::uint32_t ATTRIBUTE_BOLD = FLAG_BOLD << 8;
// Bit 7 of the background index shows as reverse too.
constexpr std::uint32_t ATTRIBUTE_BACKGROUND_BIT7 = 0x80;
constexpr std::uint32_t ATTRIBUTE_PLAIN_LIMIT = 0x100;
constexpr COLORREF COLOUR_BOLD_GREY = RGB(100, 100, 100);

void setRunColours(HDC dc, std::uint32_t attribute)
{
    if ((attribute & (ATTRIBUTE_REVERSE | ATTRIBUTE_BACKGROUND_BIT7)) != 0) {
        SetTextColor(dc, RGB(255, 255, 255));
        SetBkColor(dc, RGB(0, 0, 0));
    } else if ((attribute & ATTRIBUTE_BOLD) != 0) {
        SetTextColor(dc, COLOUR_BOLD_GREY);
        SetBkColor(dc, RGB(255, 255, 255));
    } else if (attribute < ATTRIBUTE_PLAIN_LIMIT) {
        SetTextColor(dc, RGB(0, 0, 0));
        SetBkColor(dc, RGB(255, 255, 255));
    }
    // Any other attribute (underline, blink alone) keeps the previous run's.
}

void paintLine(HDC dc, const std::uint8_t* characters, const std::uint32_t* attributes, int columns, int row)
{
    std::vector<wchar_t>& buffer = viewResources().paintLine;
    int column = 0;
    while (column < columns) {
        std::uint32_t attribute = attributes[column];
        while (column < columns && attributes[column] == attribute && characters[column] == 0) {
            ++column;
        }
        int start = column;
        while (column < columns && attributes[column] == attribute && characters[column] != 0) {
            ++column;
        }
        setRunColours(dc, attribute);
        if (column == start) {
            continue;
        }
        int converted = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(characters + start),
                                            column - start, buffer.data(), static_cast<int>(buffer.size()));
        RECT cell = {start * CellWidth, row * CellHeight + TopOffset, (start + converted) * CellWidth,
                     (row + 1) * CellHeight + TopOffset};
        DrawTextW(dc, buffer.data(), converted, &cell, DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX);
    }
}

void paintText(HDC dc, const ScreenBuffer& screen)
{
    const std::uint8_t* characters = screen.characters();
    const std::uint32_t* attributes = screen.attributes();
    int columns = screen.columns();
    if (characters == nullptr || attributes == nullptr || viewResources().paintLine.size() < columns + 1U) {
        return;
    }
    // A view left beyond the storage (a smaller scroll-back, a resize) shows
    // only the lines that exist.
    std::int32_t first = std::max(screen.viewTop(), 1);
    std::int32_t last = std::min(screen.viewEnd() - 1, screen.lineCount());
    for (std::int32_t line = first; line <= last; ++line) {
        std::size_t offset = static_cast<std::size_t>(line - 1) * static_cast<std::size_t>(columns);
        paintLine(dc, characters + offset, attributes + offset, columns, line - screen.viewTop());
    }
}

void paintCursor(HDC dc, const ScreenBuffer& screen)
{
    HDC block = viewResources().cursorDc;
    std::int32_t line = screen.cursorLine();
    if (block == nullptr || line < screen.viewTop() || line > screen.viewEnd()) {
        return;
    }
    BitBlt(dc, (screen.cursorColumn() - 1) * CellWidth, (line - screen.viewTop()) * CellHeight + TopOffset, CellWidth,
           CellHeight, block, 0, 0, SRCINVERT);
}

void invertBand(HDC dc, int fromX, int toX, int row, int rowCount)
{
    PatBlt(dc, fromX, row * CellHeight + TopOffset, toX - fromX, rowCount * CellHeight, PATINVERT);
}

void paintSelection(HDC dc, std::int32_t viewTop)
{
    const SelectionRange& range = Selection;
    if (range.startColumn == range.endColumn && range.startLine == range.endLine) {
        return;
    }
    HGDIOBJ previous = SelectObject(dc, GetStockObject(WHITE_BRUSH));
    int s = range.startLine - viewTop;
    int e = range.endLine - viewTop;
    int startX = range.startColumn * CellWidth;
    int endX = range.endColumn * CellWidth;
    if (e < s) {
        invertBand(dc, 0, startX, s, 1);
    } else {
        invertBand(dc, startX, s < e ? TerminalWidth : endX, s, 1);
    }
    if (std::abs(s - e) > 1) {
        invertBand(dc, 0, TerminalWidth, std::min(s, e) + 1, std::abs(s - e) - 1);
    }
    if (s != e) {
        if (s < e) {
            invertBand(dc, 0, endX, e, 1);
        } else {
            invertBand(dc, endX, TerminalWidth, e, 1);
        }
    }
    SelectObject(dc, previous);
}

}  // namespace

void paintTerminal(HDC dc)
{
    const ScreenBuffer& screen = terminalScreen();
    HGDIOBJ previous = TerminalFont != nullptr ? SelectObject(dc, TerminalFont) : nullptr;
    if (previous != nullptr) {
        SetBkMode(dc, OPAQUE);
        paintText(dc, screen);
        SelectObject(dc, previous);
    }
    if (screen.sized()) {
        paintCursor(dc, screen);
    }
    paintSelection(dc, screen.viewTop());
}

void invalidateTerminal()
{
    RECT area = {0, 0, TerminalWidth, TerminalHeight + TopOffset};
    InvalidateRect(MainWindow, &area, TRUE);
}

void repaintTick()
{
    if (!RepaintPending) {
        return;
    }
    RepaintPending = false;
    invalidateTerminal();
    UpdateWindow(MainWindow);
}

void onInvalidateCells(WPARAM endCell, LPARAM startCell)
{
    if (RepaintPending) {
        invalidateTerminal();
        RepaintPending = false;
        return;
    }
    // Lines above the view arrive negative; they fall outside the window.
    PackedCell start = unpackCell(static_cast<std::intptr_t>(startCell), 0);
    PackedCell end = unpackCell(static_cast<std::intptr_t>(endCell), 0);
    RECT cells = {(start.column - 1) * CellWidth, start.line * CellHeight + TopOffset, end.column * CellWidth,
                  (end.line + 1) * CellHeight + TopOffset};
    InvalidateRect(MainWindow, &cells, TRUE);
    UpdateWindow(MainWindow);
}

void onRelayout()
{
    layoutTerminal();
    setScrollRange();
    reportWindowSize();
    invalidateTerminal();
    UpdateWindow(MainWindow);
}

}  // namespace kestrel
