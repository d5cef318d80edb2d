// Painting read back from a memory surface, and the selection it shows and
// copies.
#include "shell_fixture.h"

#include "shell/resource_ids.h"
#include "shell/settings_store.h"

namespace kestrel::test {
namespace {

constexpr COLORREF BLACK = RGB(0, 0, 0);
constexpr COLORREF WHITE = RGB(255, 255, 255);
constexpr COLORREF GREY = RGB(100, 100, 100);

LPARAM cellCentre(int column, int row)
{
    return MAKELPARAM(column * CellWidth + CellWidth / 2, row * CellHeight + CellHeight / 2);
}

TEST_F(ShellTest, RunsColoursCursorAndEmptyCells)
{
    // A bitmap face draws the exact colours (no smoothed edges); 10 points at
    // 96 pixels per inch is the 8 by 13 cell of the device.
    FontSettings courier;
    lstrcpynW(courier.face, L"Courier", 15);
    courier.height = -13;
    courier.weight = 400;
    saveFontSettings(courier);
    startShell();
    ASSERT_EQ(CellWidth, 8);
    ASSERT_EQ(CellHeight, 13);
    EXPECT_EQ(terminalScreen().columns(), (240 - GetSystemMetrics(SM_CXVSCROLL)) / 8);
    EXPECT_EQ(terminalScreen().rows(), (320 - 26 - 26) / 13);
    // Row 0: plain, bold, reverse, a blank whose background has bit 7, then
    // the cursor on an empty cell. Row 1: empty cells with a reverse attribute.
    feed("\x1b[2J\x1b[2;1H\x1b[7m\x1b[K\x1b[0m\x1b[HAB\x1b[1mCD\x1b[0m\x1b[7mEF\x1b[0m");
    {
        ScreenBuffer& screen = terminalScreen();
        std::lock_guard<TerminalLock> hold(screen.lock());
        screen.setAttributes(0, 0x80);
        screen.printText(" ", 1);
        screen.setAttributes(0, 0);
    }
    Painted painted;
    int cell = CellWidth * CellHeight;
    auto inPair = [&](int column, COLORREF colour) {
        return painted.countInCell(column, 0, colour) + painted.countInCell(column + 1, 0, colour);
    };
    EXPECT_GT(inPair(0, BLACK), 0);
    EXPECT_EQ(inPair(0, GREY), 0);
    EXPECT_GT(inPair(2, GREY), 0);
    EXPECT_EQ(inPair(2, BLACK), 0);
    EXPECT_GT(inPair(4, BLACK), 0);
    EXPECT_GT(inPair(4, WHITE), 0);
    EXPECT_EQ(inPair(4, GREY), 0);
    EXPECT_EQ(painted.countInCell(6, 0, BLACK), cell);
    EXPECT_EQ(painted.countInCell(7, 0, BLACK), cell);  // the cursor
    for (int column = 0; column < terminalScreen().columns(); ++column) {
        EXPECT_EQ(painted.countInCell(column, 1, WHITE), cell) << column;
    }
    // Empty cells are never drawn, so a second paint inverts the cursor back.
    painted.paintAgain();
    EXPECT_EQ(painted.countInCell(7, 0, WHITE), cell);
}

TEST_F(ShellTest, DragUpwardsHighlightsThreeBandsAndCopiesTheSameText)
{
    startShell();
    feed("\x1b[2J\x1b[H");
    std::string lines[12];
    for (int i = 0; i < 12; ++i) {
        lines[i] = "L" + std::to_string(10 + i) + "-abcdefghijklmnop";
        feed(lines[i] + "\r\n");
    }
    // From the middle of line 10 (row 9) up to the middle of line 8 (row 7).
    SendMessageW(MainWindow, WM_LBUTTONDOWN, MK_LBUTTON, cellCentre(10, 9));
    SendMessageW(MainWindow, WM_MOUSEMOVE, MK_LBUTTON, cellCentre(5, 7));
    SendMessageW(MainWindow, WM_LBUTTONUP, 0, cellCentre(5, 7));
    Painted painted;
    int cell = CellWidth * CellHeight;
    int blank = terminalScreen().columns() - 2;  // right of every line's text
    EXPECT_EQ(painted.countInCell(blank, 7, BLACK), cell);  // line 8: end point to the right edge
    EXPECT_LT(painted.countInCell(2, 7, BLACK), cell / 2);
    EXPECT_EQ(painted.countInCell(blank, 8, BLACK), cell);  // line 9: all of it
    EXPECT_GT(painted.countInCell(2, 8, BLACK), cell / 2);
    EXPECT_EQ(painted.countInCell(blank, 9, WHITE), cell);  // line 10: left edge to the start point
    EXPECT_GT(painted.countInCell(2, 9, BLACK), cell / 2);
    EXPECT_EQ(painted.countInCell(blank, 6, WHITE), cell);

    SendMessageW(MainWindow, WM_COMMAND, IDM_COPY, 0);
    std::string expected = lines[7].substr(5) + "\r\n" + lines[8] + "\r\n" + lines[9].substr(0, 10);
    EXPECT_EQ(clipboardText(), std::wstring(expected.begin(), expected.end()));

    // The context menu's last item, chosen from the keyboard, is Select All.
    SetTimer(nullptr, 0, 100, [](HWND, UINT, UINT_PTR timer, DWORD) {
        KillTimer(nullptr, timer);
        HWND menu = FindWindowW(L"#32768", nullptr);
        PostMessageW(menu, WM_KEYDOWN, VK_UP, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    });
    SendMessageW(MainWindow, WM_RBUTTONDOWN, 0, cellCentre(3, 3));
    EXPECT_EQ(Selection.startLine, 1);
    EXPECT_EQ(Selection.endLine, terminalScreen().lineCount());
    EXPECT_EQ(Selection.endColumn, terminalScreen().columns());
}

}  // namespace
}  // namespace kestrel::test
