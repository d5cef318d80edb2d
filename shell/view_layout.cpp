// The terminal's font, its grid in the terminal area, and the resources the
// painting needs (made once per layout so that painting allocates nothing).
#include <algorithm>

#include "shell/device_services.h"
#include "shell/resource_ids.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"
#include "shell/view_resources.h"

namespace kestrel {

HFONT TerminalFont = nullptr;
int CellWidth = 0;
int CellHeight = 0;
SelectionRange Selection;
bool Selecting = false;
bool RepaintPending = false;
HWND ScrollBar = nullptr;

ViewResources& viewResources()
{
    static ViewResources resources;
    return resources;
}

namespace {

void rebuildCursorBlock(HDC windowDc)
{
    ViewResources& view = viewResources();
    if (view.cursorDc != nullptr) {
        SelectObject(view.cursorDc, view.previousCursorBitmap);
        DeleteObject(view.cursorBitmap);
        DeleteDC(view.cursorDc);
    }
    view.cursorDc = CreateCompatibleDC(windowDc);
    view.cursorBitmap = LoadBitmapW(Instance, MAKEINTRESOURCEW(IDB_CURSOR_BLOCK));
    view.previousCursorBitmap = static_cast<HBITMAP>(SelectObject(view.cursorDc, view.cursorBitmap));
}

void resizeGrid()
{
    ScreenBuffer& screen = terminalScreen();
    // The shell's setting is the one the dialogs change; the buffer sizes its
    // storage from its own copy.
    screen.setScrollbackLines(ScrollbackLines);
    screen.resize(TerminalWidth / CellWidth, TerminalHeight / CellHeight, static_cast<std::uint32_t>(TerminalWidth),
                  static_cast<std::uint32_t>(TerminalHeight), &windowObserver());
    viewResources().paintLine.assign(static_cast<std::size_t>(screen.columns()) + 1, L'\0');
    ViewReadLock hold;
    screen.setViewTop(screen.screenTop());
    screen.setViewEnd(screen.screenTop() + screen.rows());
}

}  // namespace

void computeTerminalArea()
{
    InputPanelInfo info = {};
    info.size = sizeof(info);
    queryInputPanel(SPI_GET_INPUT_PANEL_INFO, sizeof(info), &info, 0);
    int menuBarAllowance = (info.flags & INPUT_PANEL_SHOWN) != 0 ? 0 : DEVICE_MENU_BAR_HEIGHT;
    const RECT& visible = info.visibleDesktop;
    TerminalWidth = std::max(0L, visible.right - visible.left - GetSystemMetrics(SM_CXVSCROLL));
    TerminalHeight = std::max(0L, visible.bottom - visible.top - menuBarAllowance - TopOffset);
}

void createTerminalFont()
{
    LOGFONTW font = {};
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfPitchAndFamily = 0;
    FontSettings stored;
    if (loadFontSettings(stored)) {
        font.lfHeight = stored.height;
        font.lfWeight = stored.weight;
        lstrcpynW(font.lfFaceName, stored.face, LF_FACESIZE);
    } else {
        font.lfHeight = settings::DEFAULT_FONT_HEIGHT;
        lstrcpynW(font.lfFaceName, widen(settings::DEFAULT_FONT_FACE).c_str(), LF_FACESIZE);
    }
    TerminalFont = CreateFontIndirectW(&font);
}

void layoutTerminal()
{
    if (MainWindow == nullptr) {
        return;
    }
    HDC dc = GetDC(MainWindow);
    TopOffset = 0;
    computeTerminalArea();
    HGDIOBJ previous = TerminalFont != nullptr ? SelectObject(dc, TerminalFont) : nullptr;
    if (previous != nullptr) {
        SIZE cell = {};
        // A font that measures nothing keeps the previous grid, like one that
        // cannot be selected.
        if (GetTextExtentPoint32W(dc, L"H", 1, &cell) && cell.cx > 0 && cell.cy > 0) {
            CellWidth = cell.cx;
            CellHeight = cell.cy;
            resizeGrid();
        }
        SelectObject(dc, previous);
    }
    rebuildCursorBlock(dc);
    ReleaseDC(MainWindow, dc);
}

void setScrollRange()
{
    if (ScrollBar == nullptr) {
        return;
    }
    SCROLLINFO info = {};
    info.cbSize = sizeof(info);
    info.fMask = SIF_RANGE;
    info.nMin = 0;
    // One position per line the view's top can stand on, 1 to the live
    // screen's first line (ScrollbackLines + 1): the thumb reaches the bottom.
    info.nMax = ScrollbackLines;
    SetScrollInfo(ScrollBar, SB_CTL, &info, TRUE);
}

void releaseView()
{
    terminalScreen().releaseStorage();
    ViewResources& view = viewResources();
    view.paintLine.clear();
    view.paintLine.shrink_to_fit();
    if (view.cursorDc != nullptr) {
        SelectObject(view.cursorDc, view.previousCursorBitmap);
        DeleteObject(view.cursorBitmap);
        DeleteDC(view.cursorDc);
        view.cursorDc = nullptr;
    }
    if (TerminalFont != nullptr) {
        DeleteObject(TerminalFont);
        TerminalFont = nullptr;
    }
}

}  // namespace kestrel
