// Pictures of Kestrel1's main window: the real start-up and window procedure,
// fed with a demonstration screen; scripts/screenshots.d/main-window takes
// each picture from the display when this program says where to look.
//
// Usage: kestrel1-screens OUTPUT-FOLDER
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "engine/status_log.h"
#include "shell/main_window.h"
#include "shell/resource_ids.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {
namespace {

std::wstring OutputFolder;

// Lets the window system draw everything that is pending.
void settle(DWORD ms)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// The display is read from outside (Wine cannot read the X screen back):
// the shot's screen rectangle goes into NAME.rect, and the picture is taken
// once the script answers with NAME.done. Bounded, so a missing script does
// not hang the program.
constexpr DWORD SHOT_ANSWER_MS = 30000;

bool saveScreenArea(const RECT& area, const std::wstring& name)
{
    std::wstring rect = OutputFolder + L"\\" + name + L".rect";
    std::wstring done = OutputFolder + L"\\" + name + L".done";
    FILE* out = _wfopen((rect + L".part").c_str(), L"w");
    if (out == nullptr) {
        return false;
    }
    std::fprintf(out, "%ld %ld %ld %ld\n", area.left, area.top, area.right - area.left, area.bottom - area.top);
    std::fclose(out);
    MoveFileW((rect + L".part").c_str(), rect.c_str());
    DWORD start = GetTickCount();
    while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > SHOT_ANSWER_MS) {
            return false;
        }
        settle(50);
    }
    return true;
}

bool saveWindow(HWND window, const std::wstring& name)
{
    // Longer than the repaint tick, so whole-screen changes are drawn.
    settle(REPAINT_INTERVAL_MS + 300);
    RECT area = {};
    GetWindowRect(window, &area);
    return saveScreenArea(area, name);
}

// A shell session as a user would see it: a prompt, a listing with bold
// names, reverse video, and the cursor after the last prompt.
constexpr const char* DEMO_SCREEN[] = {
    "\x1b[2J\x1b[H",
    "demo@pluto:~$ ls -F\r\n",
    "\x1b[1mbin/\x1b[0m    notes.txt  \x1b[1msrc/\x1b[0m\r\n",
    "\x1b[1mdocs/\x1b[0m   todo.txt   \x1b[1mtmp/\x1b[0m\r\n",
    "demo@pluto:~$ cat todo.txt\r\n",
    "- fix the \x1b[1mparser\x1b[0m\r\n",
    "- \x1b[7m release 1.00.46 \x1b[0m\r\n",
    "- write the notes\r\n",
    "demo@pluto:~$ uptime\r\n",
    " 10:42  up 3 days, 2 users\r\n",
    "\x1b[7m load: 0.08 0.03 0.01  \x1b[0m\r\n",
    "demo@pluto:~$ ",
};

LPARAM cellCentre(int column, int row)
{
    return MAKELPARAM(column * CellWidth + CellWidth / 2, row * CellHeight + CellHeight / 2);
}

void CALLBACK captureAbout(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    HWND about = GetLastActivePopup(MainWindow);
    RECT main = {};
    RECT dialog = {};
    GetWindowRect(MainWindow, &main);
    GetWindowRect(about, &dialog);
    RECT both = {};
    UnionRect(&both, &main, &dialog);
    saveScreenArea(both, L"main-window-about");
    SendMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0);
}

int run(HINSTANCE instance)
{
    // The Font dialog's choice of a crisp fixed face at 10 points: the
    // device's 8 by 13 pixel cell.
    FontSettings font;
    lstrcpynW(font.face, L"Courier", settings::FONT_FACE_CAPACITY);
    font.height = -13;
    font.weight = settings::FONT_WEIGHT_REGULAR;
    saveFontSettings(font);
    if (!registerWindowClass(instance) || !instanceSetup(instance, SW_SHOWNORMAL)) {
        return 1;
    }
    SetWindowPos(MainWindow, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE);
    bool saved = saveWindow(MainWindow, L"main-window-banner");
    for (const char* piece : DEMO_SCREEN) {
        logStatus(piece);
    }
    SendMessageW(MainWindow, WM_TIMER, TIMER_REPAINT, 0);
    saved = saveWindow(MainWindow, L"main-window-session") && saved;
    SendMessageW(MainWindow, WM_LBUTTONDOWN, MK_LBUTTON, cellCentre(2, 5));
    SendMessageW(MainWindow, WM_MOUSEMOVE, MK_LBUTTON, cellCentre(12, 7));
    SendMessageW(MainWindow, WM_LBUTTONUP, 0, cellCentre(12, 7));
    saved = saveWindow(MainWindow, L"main-window-selection") && saved;
    SetTimer(nullptr, 0, 600, captureAbout);
    SendMessageW(MainWindow, WM_COMMAND, IDM_ABOUT, 0);
    DestroyWindow(MainWindow);
    return saved ? 0 : 1;
}

}  // namespace
}  // namespace kestrel

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count < 2) {
        std::fputs("usage: kestrel1-screens OUTPUT-FOLDER\n", stderr);
        return 2;
    }
    kestrel::OutputFolder = arguments[1];
    return kestrel::run(instance);
}
