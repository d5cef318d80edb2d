// Scrolling through the history, the view following the live screen, and
// what a burst of output costs in repaints.
#include "shell_fixture.h"

#include <commctrl.h>

#include <algorithm>

namespace kestrel::test {
namespace {

std::int32_t viewTop() { return terminalScreen().viewTop(); }

void scroll(WORD code, WORD position = 0) { SendMessageW(MainWindow, WM_VSCROLL, MAKEWPARAM(code, position), 0); }

void feedLines(int count)
{
    for (int i = 0; i < count; ++i) {
        feed("line " + std::to_string(i) + "\r\n");
    }
}

TEST_F(ShellTest, ViewFollowsTheLiveScreenAndMovesWithEveryScrollCode)
{
    startShell();
    feedLines(terminalScreen().rows() + 5);
    EXPECT_GT(terminalScreen().screenTop(), 1);
    EXPECT_EQ(viewTop(), terminalScreen().screenTop());
    feedLines(300);
    const std::int32_t rows = terminalScreen().rows();
    const std::int32_t bottom = terminalScreen().lineCount() - rows + 1;
    ASSERT_EQ(viewTop(), bottom);
    ASSERT_EQ(GetScrollPos(ScrollBar, SB_CTL), bottom - 1);
    struct Step {
        WORD code, position;
        std::int32_t top;
    } steps[] = {
        {SB_LINEUP, 0, bottom - 1},     {SB_PAGEUP, 0, bottom - 1 - rows}, {SB_THUMBTRACK, 3, 4},
        {SB_PAGEUP, 0, 1},              {SB_LINEUP, 0, 1},                 {SB_PAGEDOWN, 0, 1 + rows},
        {SB_THUMBPOSITION, 99, 100},    {SB_PAGEDOWN, 0, bottom},          {SB_LINEDOWN, 0, bottom},
        {SB_THUMBPOSITION, 500, bottom}, {SB_ENDSCROLL, 0, bottom},
    };
    for (const Step& step : steps) {
        scroll(step.code, step.position);
        EXPECT_EQ(viewTop(), step.top) << step.code << " " << step.position;
        EXPECT_EQ(terminalScreen().viewEnd(), step.top + rows);
        EXPECT_EQ(GetScrollPos(ScrollBar, SB_CTL), step.top - 1);
    }
}

TEST_F(ShellTest, SmallerScrollbackKeepsViewAndSelectionInsideTheStorage)
{
    ScrollbackLines = 500;
    startShell();
    ScrollbackLines = 500;
    SendMessageW(MainWindow, MSG_RELAYOUT, 0, 0);
    feedLines(600);
    SendMessageW(MainWindow, WM_COMMAND, 40017, 0);  // Select All
    ScrollbackLines = 10;
    SendMessageW(MainWindow, MSG_RELAYOUT, 0, 0);
    const std::int32_t bottom = terminalScreen().lineCount() - terminalScreen().rows() + 1;
    terminalScreen().setViewTop(400);
    scroll(SB_LINEDOWN);
    EXPECT_EQ(viewTop(), bottom);
    terminalScreen().setViewTop(400);
    terminalScreen().setViewEnd(400 + terminalScreen().rows());
    Painted painted;
    SendMessageW(MainWindow, WM_COMMAND, 104, 0);  // Copy of a selection beyond the storage
    std::wstring copied = clipboardText();
    auto copiedLines = std::count(copied.begin(), copied.end(), L'\n') + 1;
    EXPECT_EQ(copiedLines, terminalScreen().lineCount());
}

TEST_F(ShellTest, BurstOfOutputRepaintsOncePerTick)
{
    startShell();
    static int paints = 0;
    SetWindowSubclass(
        MainWindow,
        [](HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) -> LRESULT {
            paints += message == WM_PAINT ? 1 : 0;
            return DefSubclassProc(window, message, wParam, lParam);
        },
        1, 0);
    SendMessageW(MainWindow, WM_TIMER, TIMER_REPAINT, 0);  // whatever the start-up left pending
    paints = 0;
    feed("x");
    EXPECT_EQ(paints, 1) << "a small change repaints at once";
    paints = 0;
    feedLines(10000);
    int duringFeed = paints;
    RecordProperty("paints_during_feed", duringFeed);
    EXPECT_LE(duringFeed, 2 * terminalScreen().rows());
    paints = 0;
    SendMessageW(MainWindow, WM_TIMER, TIMER_REPAINT, 0);
    SendMessageW(MainWindow, WM_TIMER, TIMER_REPAINT, 0);
    pumpFor(30);
    EXPECT_LE(paints, 1);
}

}  // namespace
}  // namespace kestrel::test
