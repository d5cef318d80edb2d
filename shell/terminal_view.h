// The terminal view: MainWindow's client area. Lays the character grid out,
// paints the ScreenBuffer, scrolls through the history, selects with the
// stylus, copies, pastes and sends what the user types.
//
// Threads: everything here runs on the user-interface thread. The buffer is
// fed by the session worker under the terminal lock; whatever here reads or
// moves the view outside the worker's notifications takes that lock first
// (ViewReadLock), so a paint never shows a half-updated screen. The lock's
// waiter keeps handling the worker's sent messages meanwhile, so neither
// thread waits for the other for ever (terminal/terminal_lock.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "terminal/screen_buffer.h"

namespace kestrel {

inline constexpr UINT_PTR TIMER_REPAINT = 66;
inline constexpr UINT REPAINT_INTERVAL_MS = 900;

struct SelectionRange {
    std::int32_t startColumn = 0;
    std::int32_t startLine = 0;
    std::int32_t endColumn = 0;
    std::int32_t endLine = 0;
};

extern HFONT TerminalFont;
extern int CellWidth;
extern int CellHeight;
extern SelectionRange Selection;
extern bool Selecting;
extern bool RepaintPending;
extern HWND ScrollBar;

// Reads (and moves) the view under the terminal lock unless the lock's holder
// is blocked in a notification to this thread.
class ViewReadLock {
public:
    ViewReadLock();
    ~ViewReadLock();
    ViewReadLock(const ViewReadLock&) = delete;
    ViewReadLock& operator=(const ViewReadLock&) = delete;

private:
    bool held_ = false;
};

// Binds the terminal to MainWindow: the buffer's notifications become sent
// messages, logStatus feeds the parser, and the terminal lock waits in a way
// that keeps serving sent messages on this thread.
void bindTerminalToWindow();
// The buffer's notifications, as messages sent to MainWindow.
TerminalObserver& windowObserver();

// Terminal area (from the input panel), font and layout.
void computeTerminalArea();
void createTerminalFont();
void layoutTerminal();
void setScrollRange();
void releaseView();

// Painting and the notifications that ask for it.
void paintTerminal(HDC dc);
void repaintTick();
void invalidateTerminal();
void onInvalidateCells(WPARAM endCell, LPARAM startCell);
void onRelayout();

// Scrolling.
int scrollView(int lines, bool repaint);
void onVerticalScroll(WPARAM request);
void onScrollbackMoved(std::int32_t screenTop);

// Stylus, clipboard, context menu.
void onPenDown(LPARAM position);
void onPenMove(LPARAM position);
void onPenUp();
void copySelection();
void pasteClipboard();
void selectAll();
void showContextMenu(LPARAM position);

// Keyboard and answers to the host.
void sendTypedCharacter(WPARAM character);
void sendCursorKey(WPARAM virtualKey);
void sendToHost(const char* text, std::size_t length);

}  // namespace kestrel
