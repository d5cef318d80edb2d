// Start-up of the program: one copy only, the terminal, the window, the
// timer, the sockets and the banner.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "engine/status_log.h"
#include "shell/device_services.h"
#include "shell/main_window.h"
#include "shell/resource_ids.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {

namespace {

constexpr DWORD MAIN_WINDOW_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE;

void setShellDefaults()
{
    CurrentConnection = nullptr;
    CurrentSession = nullptr;
    CipherChoice = CIPHER_CHOICE_3DES;
    lstrcpynA(PortText, settings::DEFAULT_PORT_TEXT, PORT_TEXT_SIZE);
    lstrcpynA(HostName, " ", HOST_NAME_SIZE);
    lstrcpynA(UserName, settings::DEFAULT_USER_NAME, USER_NAME_SIZE);
    lstrcpynA(Password, "quorvane", PASSWORD_SIZE);
    DefaultServers.assign(1, std::wstring());
    ShuttingDown = false;
    TopOffset = 0;
}

void setWindowIcons(HWND window)
{
    auto icon = reinterpret_cast<LPARAM>(LoadImageW(Instance, MAKEINTRESOURCEW(IDI_KESTREL1), IMAGE_ICON, 16, 16, 0));
    SendMessageW(window, WM_SETICON, ICON_BIG, icon);
    SendMessageW(window, WM_SETICON, ICON_SMALL, icon);
}

}  // namespace

bool instanceSetup(HINSTANCE instance, int show)
{
    Instance = instance;
    lstrcpynW(WindowClassName, WINDOW_CLASS_NAME, 16);
    lstrcpynW(WindowTitle, WINDOW_CLASS_NAME, 16);
    if (HWND running = FindWindowW(WindowClassName, WindowTitle)) {
        bringToForeground(running);
        return false;
    }

    terminalParser().attach(terminalScreen());
    bindTerminalToWindow();
    UseVt52 = settings::DEFAULT_USE_VT52;
    ScrollbackLines = settings::DEFAULT_SCROLLBACK_LINES;
    if (!loadTerminalSettings(UseVt52, ScrollbackLines)) {
        UseVt52 = settings::DEFAULT_USE_VT52;
        ScrollbackLines = settings::DEFAULT_SCROLLBACK_LINES;
    }
    setShellDefaults();
    computeTerminalArea();

    HWND window = CreateWindowExW(0, WindowClassName, WindowTitle, MAIN_WINDOW_STYLE, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, TerminalHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return false;
    }
    fitWindowToClientArea(window, TerminalWidth + GetSystemMetrics(SM_CXVSCROLL), TerminalHeight);
    layoutTerminal();
    ShowWindow(window, show);
    UpdateWindow(window);
    SetTimer(window, TIMER_REPAINT, REPAINT_INTERVAL_MS, nullptr);
    setWindowIcons(window);

    WSADATA sockets;
    WSAStartup(MAKEWORD(1, 1), &sockets);

    logStatus(BANNER_LINE_1);
    logStatus(BANNER_LINE_2);
    logStatus(BANNER_LINE_3);
    return true;
}

// The Font and Terminal Settings dialogs are modeless, so their keys come
// through this loop; modal dialogs and boxes run loops of their own.
bool routeToModelessDialog(MSG& message)
{
    HWND active = GetActiveWindow();
    return active != nullptr && active != MainWindow && IsDialogMessageW(active, &message);
}

int programEntry(HINSTANCE instance, HINSTANCE previous, int show)
{
    InitCommonControls();
    if (previous == nullptr && !registerWindowClass(instance)) {
        return 0;
    }
    if (!instanceSetup(instance, show)) {
        return 0;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (routeToModelessDialog(message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    WSACleanup();
    return static_cast<int>(message.wParam);
}

}  // namespace kestrel
