// What the user does to the terminal: stylus selection, clipboard, context
// menu, typed characters and arrow keys.
#include <windowsx.h>

#include <string>

#include "shell/input_queue.h"
#include "shell/resource_ids.h"
#include "shell/session_commands.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {

namespace {

constexpr int CONTEXT_MENU_OFFSET_X = 30;
constexpr char ESCAPE = '\x1b';

struct Cell {
    std::int32_t column;
    std::int32_t line;
};

Cell cellUnderPen(LPARAM position)
{
    int x = GET_X_LPARAM(position);
    int y = GET_Y_LPARAM(position);
    return {x / CellWidth, (y - TopOffset) / CellHeight + terminalScreen().viewTop()};
}

void repaintWindow()
{
    InvalidateRect(MainWindow, nullptr, TRUE);
    UpdateWindow(MainWindow);
}

std::wstring clipboardText()
{
    std::wstring text;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const auto* locked = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
    if (locked != nullptr) {
        // Clipboard data from another program need not be terminated.
        std::size_t capacity = GlobalSize(data) / sizeof(wchar_t);
        std::size_t length = 0;
        while (length < capacity && locked[length] != L'\0') {
            ++length;
        }
        text.assign(locked, length);
        GlobalUnlock(data);
    }
    return text;
}

}  // namespace

void onPenDown(LPARAM position)
{
    if (Selecting || CellWidth <= 0 || CellHeight <= 0) {
        return;
    }
    Selecting = true;
    // The desktop's mouse can be released outside the window; the capture
    // makes sure the release still ends the drag.
    SetCapture(MainWindow);
    Cell cell = cellUnderPen(position);
    Selection = {cell.column, cell.line, cell.column, cell.line};
    repaintWindow();
}

void onPenMove(LPARAM position)
{
    if (!Selecting) {
        return;
    }
    Cell cell = cellUnderPen(position);
    Selection.endColumn = cell.column;
    Selection.endLine = cell.line;
    repaintWindow();
}

void onPenUp()
{
    Selecting = false;
    if (GetCapture() == MainWindow) {
        ReleaseCapture();
    }
}

void copySelection()
{
    if (!OpenClipboard(MainWindow)) {
        return;
    }
    EmptyClipboard();
    std::string bytes;
    {
        ViewReadLock hold;
        bytes = terminalScreen().selectionBytes(Selection.startColumn, Selection.startLine, Selection.endColumn,
                                                Selection.endLine);
    }
    std::wstring text = widen(bytes.c_str());
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, (text.size() + 1) * sizeof(wchar_t));
    if (auto* target = memory != nullptr ? static_cast<wchar_t*>(GlobalLock(memory)) : nullptr) {
        text.copy(target, text.size());
        GlobalUnlock(memory);
        if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
            GlobalFree(memory);
        }
    }
    CloseClipboard();
}

void pasteClipboard()
{
    if (!OpenClipboard(MainWindow)) {
        return;
    }
    std::wstring text = clipboardText();
    CloseClipboard();
    if (text.empty() || CurrentConnection == nullptr) {
        return;
    }
    if (text.size() > MAX_QUEUED_INPUT) {
        MessageBeep(MB_OK);
        return;
    }
    std::string bytes = narrow(text.c_str());
    queueInput(bytes.data(), bytes.size());
}

void selectAll()
{
    const ScreenBuffer& screen = terminalScreen();
    Selection = {0, 1, screen.columns(), screen.lineCount()};
    repaintWindow();
}

void showContextMenu(LPARAM position)
{
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, IDM_COPY, L"&Copy");
    AppendMenuW(menu, MF_STRING, IDM_PASTE, L"&Paste");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_FONTS, L"Font...");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_SELECT_ALL, L"Select &All");
    POINT at = {GET_X_LPARAM(position) - CONTEXT_MENU_OFFSET_X, GET_Y_LPARAM(position)};
    ClientToScreen(MainWindow, &at);
    UINT command = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_CENTERALIGN | TPM_RETURNCMD, at.x, at.y, 0, MainWindow, nullptr));
    DestroyMenu(menu);
    // The menu bar's commands, so both ways reach the same handlers.
    if (command != 0) {
        SendMessageW(MainWindow, WM_COMMAND, command, 0);
    }
}

void sendTypedCharacter(WPARAM character)
{
    if (CurrentConnection == nullptr) {
        return;
    }
    wchar_t wide = static_cast<wchar_t>(character & 0xFF);
    char bytes[2] = {};
    int length = WideCharToMultiByte(CP_ACP, 0, &wide, 1, bytes, sizeof(bytes), nullptr, nullptr);
    if (length > 0) {
        queueInput(bytes, static_cast<std::size_t>(length));
    }
}

void sendCursorKey(WPARAM virtualKey)
{
    if (CurrentConnection == nullptr || virtualKey < VK_LEFT || virtualKey > VK_DOWN) {
        return;
    }
    static constexpr char LETTERS[] = {'D', 'A', 'C', 'B'};
    char letter = LETTERS[virtualKey - VK_LEFT];
    std::string sequence = UseVt52 ? std::string{ESCAPE, letter} : std::string{ESCAPE, '[', letter};
    queueInput(sequence.data(), sequence.size());
}

void sendToHost(const char* text, std::size_t length)
{
    if (CurrentSession != nullptr && text != nullptr) {
        queueInput(text, length);
    }
}

}  // namespace kestrel
