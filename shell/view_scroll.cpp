// Scrolling the view through the history: the scroll bar's requests and the
// buffer's report that the live screen moved.
#include <algorithm>

#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {

namespace {

// The view's first line stays where a full view fits in the storage; after
// a smaller scroll-back or grid it may have been left beyond it.
void placeView(ScreenBuffer& screen, std::int32_t top)
{
    std::int32_t lastTop = std::max(1, screen.lineCount() - screen.rows() + 1);
    top = std::clamp(top, 1, lastTop);
    screen.setViewTop(top);
    screen.setViewEnd(top + screen.rows());
}

void repaintNow()
{
    invalidateTerminal();
    UpdateWindow(MainWindow);
}

void setThumb(std::int32_t position)
{
    SCROLLINFO info = {};
    info.cbSize = sizeof(info);
    info.fMask = SIF_POS;
    info.nPos = position;
    SetScrollInfo(ScrollBar, SB_CTL, &info, TRUE);
}

}  // namespace

int scrollView(int lines, bool repaint)
{
    {
        ViewReadLock hold;
        ScreenBuffer& screen = terminalScreen();
        std::int32_t rows = screen.rows();
        std::int32_t count = screen.lineCount();
        placeView(screen, screen.viewTop());
        std::int32_t top = screen.viewTop();
        if (lines >= 0 || top + lines >= 1) {
            placeView(screen, screen.viewEnd() + lines > count ? count - rows + 1 : top + lines);
        } else if (top < 2) {
            return 0;
        } else {
            placeView(screen, 1);
        }
    }
    if (repaint) {
        repaintNow();
    }
    return lines;
}

void onVerticalScroll(WPARAM request)
{
    std::int32_t rows = terminalScreen().rows();
    switch (LOWORD(request)) {
    case SB_LINEUP:
        scrollView(-1, true);
        break;
    case SB_LINEDOWN:
        scrollView(1, true);
        break;
    case SB_PAGEUP:
        scrollView(-rows, true);
        break;
    case SB_PAGEDOWN:
        scrollView(rows, true);
        break;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK: {
        {
            ViewReadLock hold;
            placeView(terminalScreen(), static_cast<std::int32_t>(HIWORD(request)) + 1);
        }
        repaintNow();
        break;
    }
    default:
        return;
    }
    setThumb(terminalScreen().viewTop() - 1);
}

void onScrollbackMoved(std::int32_t screenTop)
{
    std::int32_t position = GetScrollPos(ScrollBar, SB_CTL);
    if (screenTop == position + 1) {
        return;
    }
    setThumb(screenTop - 1);
    scrollView(screenTop - position - 1, false);
}

}  // namespace kestrel
