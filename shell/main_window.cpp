#include "shell/main_window.h"

#include <windowsx.h>

#include "shell/device_services.h"
#include "shell/host_key_prompt.h"
#include "shell/input_queue.h"
#include "shell/resource_ids.h"
#include "shell/session_commands.h"
#include "shell/session_flow.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {

namespace {

// Only the first size message lays the terminal out; later ones (the desktop
// frame being fitted, the user resizing) keep the grid.
bool FirstSizeDone = false;

// A session copies the choice when it starts; a command arriving while one
// runs (greyed items still take a sent command) would only move the check
// mark away from the cipher in force.
void setCipherChoice(int choice, UINT checked)
{
    if (sessionActive()) {
        return;
    }
    CipherChoice = choice;
    HMENU tools = MenuBar != nullptr ? reinterpret_cast<HMENU>(SendMessageW(MenuBar, MSG_MENU_BAR_GET_SUB_MENU, 0,
                                                                            IDB_MENU_TOOLS))
                                     : nullptr;
    if (tools == nullptr) {
        return;
    }
    for (UINT item : {IDM_CIPHER_3DES, IDM_CIPHER_BLOWFISH, IDM_CIPHER_NONE}) {
        CheckMenuItem(tools, item, MF_BYCOMMAND | (item == checked ? MF_CHECKED : MF_UNCHECKED));
    }
}

void onCreate(HWND window)
{
    MainWindow = window;
    MenuBarInfo info = {};
    info.size = sizeof(info);
    info.owner = window;
    info.menuBarId = IDR_MAIN_MENU;
    info.resources = Instance;
    if (createMenuBar(&info)) {
        MenuBar = info.menuBar;
    } else {
        MenuBar = nullptr;
        MessageBoxW(window, L"SHCreateMenuBar Failed", L"Error", MB_OK);
    }
    createTerminalFont();
    ScrollBar = CreateWindowExW(0, L"SCROLLBAR", L"", WS_CHILD | WS_VISIBLE | SBS_VERT, 0, 0, 0, 0, window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TERMINAL_SCROLLBAR)), Instance,
                                nullptr);
    setScrollRange();
    // Attaching the desktop menu above already sent a size message; the
    // first one that counts comes after the window exists.
    FirstSizeDone = false;
}

void onDestroy(HWND window)
{
    ShuttingDown = true;
    disconnectCommand();
    discardQueuedInput();
    KillTimer(window, TIMER_REPAINT);
    releaseView();
    PostQuitMessage(0);
}

void onFirstSize()
{
    if (FirstSizeDone) {
        return;
    }
    FirstSizeDone = true;
    layoutTerminal();
    MoveWindow(ScrollBar, TerminalWidth, 0, GetSystemMetrics(SM_CXVSCROLL), TerminalHeight, TRUE);
}

void onPaint(HWND window)
{
    // Locked before painting begins: waiting for the lock may serve a sent
    // notification that itself paints.
    ViewReadLock hold;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    paintTerminal(dc);
    EndPaint(window, &paint);
}

INT_PTR CALLBACK aboutProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        centreDialog(dialog);
        addCaptionOkButton(dialog);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}

bool handlePrivateMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case MSG_SESSION_ENDED:
        handleSessionEnded();
        return true;
    case MSG_RELAYOUT:
        onRelayout();
        return true;
    case MSG_REPAINT_PENDING:
        RepaintPending = true;
        return true;
    case MSG_INVALIDATE_CELLS:
        onInvalidateCells(wParam, lParam);
        return true;
    case MSG_SEND_TO_HOST:
        sendToHost(reinterpret_cast<const char*>(wParam), static_cast<std::size_t>(lParam));
        return true;
    case MSG_SCROLLBACK_MOVED:
        onScrollbackMoved(static_cast<std::int32_t>(wParam));
        return true;
    default:
        return false;
    }
}

}  // namespace

bool registerWindowClass(HINSTANCE instance)
{
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KESTREL1), IMAGE_ICON, 16, 16, 0));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    return RegisterClassW(&windowClass) != 0;
}

LRESULT CALLBACK mainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == MSG_ASK_HOST_KEY) {
        return answerHostKeyQuestion(*reinterpret_cast<HostKeyQuestion*>(lParam));
    }
    if (handlePrivateMessage(message, wParam, lParam)) {
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        onCreate(window);
        return 0;
    case WM_DESTROY:
        onDestroy(window);
        return 0;
    case WM_CLOSE:
        if (deferCloseForHostKeyQuestion()) {
            return 0;
        }
        break;
    case WM_NCDESTROY:
        MainWindow = nullptr;
        MenuBar = nullptr;
        ScrollBar = nullptr;
        break;
    case WM_SIZE:
        onFirstSize();
        return 0;
    case WM_PAINT:
        onPaint(window);
        return 0;
    case WM_KEYDOWN:
        if (wParam >= VK_LEFT && wParam <= VK_DOWN) {
            sendCursorKey(wParam);
        }
        return 0;
    case WM_CHAR:
        sendTypedCharacter(wParam);
        return 0;
    case WM_COMMAND:
        dispatchCommand(LOWORD(wParam));
        return 0;
    case WM_VSCROLL:
        onVerticalScroll(wParam);
        return 0;
    case WM_LBUTTONDOWN:
        onPenDown(lParam);
        return 0;
    case WM_MOUSEMOVE:
        onPenMove(lParam);
        return 0;
    case WM_LBUTTONUP:
        onPenUp();
        return 0;
    case WM_RBUTTONDOWN:
        showContextMenu(lParam);
        return 0;
    case WM_TIMER:
        if (wParam == TIMER_REPAINT) {
            repaintTick();
        } else if (wParam == TIMER_INPUT) {
            drainInput();
        } else if (wParam == TIMER_KEYSTROKES) {
            keystrokeTick();
        }
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void dispatchCommand(UINT command)
{
    switch (command) {
    case IDM_CONNECT:
        if (CurrentConnection == nullptr) {
            connectCommand();
        } else {
            disconnectCommand();
        }
        break;
    case IDM_EXIT:
        DestroyWindow(MainWindow);
        break;
    case IDM_COPY:
        copySelection();
        break;
    case IDM_PASTE:
        pasteClipboard();
        break;
    case IDM_SELECT_ALL:
        selectAll();
        break;
    case IDM_CIPHER_3DES:
        setCipherChoice(CIPHER_CHOICE_3DES, IDM_CIPHER_3DES);
        break;
    case IDM_CIPHER_BLOWFISH:
        setCipherChoice(CIPHER_CHOICE_BLOWFISH, IDM_CIPHER_BLOWFISH);
        break;
    case IDM_CIPHER_NONE:
        setCipherChoice(CIPHER_CHOICE_NONE, IDM_CIPHER_NONE);
        break;
    case IDM_FONTS:
        openFontDialog();
        break;
    case IDM_PREFERENCES:
        openTerminalSettingsDialog();
        setScrollRange();
        break;
    case IDM_CONTENTS:
        startHelpViewer();
        break;
    case IDM_ABOUT:
        showAboutDialog();
        break;
    default:
        break;
    }
}

void showAboutDialog()
{
    DialogBoxParamW(Instance, MAKEINTRESOURCEW(IDD_ABOUT), MainWindow, aboutProcedure, 0);
}

void startHelpViewer()
{
    wchar_t commandLine[64] = {};
    wcsncpy(commandLine, HELP_FILE_ARGUMENT, 63);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(HELP_VIEWER, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

void centreDialog(HWND dialog)
{
    RECT main = {};
    RECT own = {};
    GetWindowRect(MainWindow, &main);
    GetWindowRect(dialog, &own);
    int width = own.right - own.left;
    int height = own.bottom - own.top;
    // The device's windows all start at the screen's corner, where the centre
    // is half the right and bottom edges; a desktop window may stand anywhere.
    int x = (main.left + main.right) / 2 - width / 2;
    int y = (main.top + main.bottom) / 2 - height / 2;
    MoveWindow(dialog, x, y, width, height, FALSE);
}

}  // namespace kestrel
