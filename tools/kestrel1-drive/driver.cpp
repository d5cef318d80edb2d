#include "tools/kestrel1-drive/driver.h"

#include <commctrl.h>

#include <tuple>

#include "engine/status_log.h"
#include "shell/dialog_ids.h"
#include "shell/host_key_prompt.h"
#include "shell/main_window.h"
#include "shell/resource_ids.h"
#include "shell/session_flow.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"
#include "terminal/screen_dump.h"
#include "tools/kestrel1-drive/text_finder.h"

namespace kestrel::drive {
namespace {

// A dialog is pictured this long after it opened or changed, once the
// display has shown it.
constexpr auto PICTURE_SETTLE = std::chrono::milliseconds(500);
// A fresh display can refuse the first copies of a new window; keep trying
// this long before giving the picture up.
constexpr auto PICTURE_GIVE_UP = std::chrono::seconds(5);

// The message box text control of the platform's boxes.
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;
constexpr int BOX_TEXT_SIZE = 256;

// Everything the terminal is fed passes here on its way to the parser, so
// that waits can look for text the way the headless client does.
class TeeSink : public StatusSink {
public:
    // Recorded once the parser has it, so that text waited for is on the
    // screen by the time the wait ends.
    void feedText(const char* text, std::size_t length) override {
        terminalParser().feedBytes(text, length);
        std::lock_guard<std::mutex> hold(lock_);
        finder_.append(text, length);
    }
    // Finds text after the previous match and moves past it.
    bool take(const std::string& text) {
        std::lock_guard<std::mutex> hold(lock_);
        return finder_.take(text);
    }
    std::string all() {
        std::lock_guard<std::mutex> hold(lock_);
        return finder_.all();
    }

private:
    std::mutex lock_;
    TextFinder finder_;
};

TeeSink Tee;

bool shellRunning() {
    if (CurrentSession == nullptr)
        return false;
    std::lock_guard<std::mutex> hold(CurrentSession->sendLock);
    return CurrentSession->shellStarted;
}

void selectEntry(HWND dialog, int box, const std::wstring& text) {
    if (text.empty())
        return;
    HWND control = GetDlgItem(dialog, box);
    LRESULT index = SendMessageW(control, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(text.c_str()));
    if (index != CB_ERR)
        SendMessageW(control, CB_SETCURSEL, WPARAM(index), 0);
}

void setField(HWND dialog, int id, const std::wstring& text) {
    if (!text.empty())
        SetDlgItemTextW(dialog, id, text.c_str());
}

void click(HWND dialog, int id) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void fillConnectDialog(HWND dialog, const ConnectFields& fields) {
    if (!fields.deleteServer.empty()) {
        SetDlgItemTextW(dialog, IDC_CONNECT_SERVER, fields.deleteServer.c_str());
        click(dialog, IDC_CONNECT_DELETE);
    }
    setField(dialog, IDC_CONNECT_SERVER, fields.server);
    setField(dialog, IDC_CONNECT_PORT, fields.port);
    setField(dialog, IDC_CONNECT_USER, fields.user);
    setField(dialog, IDC_CONNECT_PASSWORD, fields.password);
}

} // namespace

Driver::Driver(double timeoutSeconds)
    : deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds))) {}

bool Driver::start(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    if (!registerWindowClass(instance) || !instanceSetup(instance, SW_SHOW))
        return false;
    bindStatusSink(&Tee);
    startResponder([this](HWND dialog, const std::wstring& caption) { return answerByDefault(dialog, caption); });
    return true;
}

void Driver::finish() {
    if (MainWindow != nullptr && IsWindow(MainWindow))
        command(IDM_EXIT);
    // The exit has its own bound: the session's end is reported within it.
    pumpUntil([] { return quitSeen(); }, Clock::now() + std::chrono::milliseconds(2 * WORKER_REPORT_WAIT_MS));
    stopResponder();
}

bool Driver::answerHostKeyBox(HWND dialog, const std::wstring& caption) {
    bool question = caption == CAPTION_UNKNOWN_HOST_KEY;
    if (!question && caption != CAPTION_HOST_KEY_CHANGED && caption != CAPTION_HOST_KEY_UNREADABLE &&
        caption != CAPTION_HOST_KEY_NOT_STORED)
        return false;
    wchar_t text[BOX_TEXT_SIZE * 4] = {};
    GetDlgItemTextW(dialog, MESSAGE_BOX_TEXT_ID, text, BOX_TEXT_SIZE * 4);
    if (hostKeyBoxSeen_ == Clock::time_point{}) {
        hostKeyBoxes_.push_back({caption, text});
        hostKeyBoxSeen_ = Clock::now();
    }
    if (closeAtHostKeyBox_) {
        // The box runs its own loop inside the program's; the close arrives there.
        closeAtHostKeyBox_ = false;
        PostMessageW(MainWindow, WM_CLOSE, 0, 0);
        return true;
    }
    if (!hostKeyPicture_.empty()) {
        if (Clock::now() < hostKeyBoxSeen_ + PICTURE_SETTLE)
            return true;
        if (!saveWindowPicture(dialog, hostKeyPicture_) && Clock::now() < hostKeyBoxSeen_ + PICTURE_GIVE_UP)
            return true;
        hostKeyPicture_.clear();
    }
    hostKeyBoxSeen_ = Clock::time_point{};
    UINT button = question ? (acceptNewHostKeys_ ? IDYES : IDNO) : IDOK;
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    return true;
}

bool Driver::answerBoxes(HWND dialog, const std::wstring& caption) {
    if (answerHostKeyBox(dialog, caption))
        return true;
    if (caption != L"Connection Lost" && caption != L"Error")
        return false;
    wchar_t text[BOX_TEXT_SIZE] = {};
    GetDlgItemTextW(dialog, MESSAGE_BOX_TEXT_ID, text, BOX_TEXT_SIZE);
    boxes_.push_back({caption, text});
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    return true;
}

bool Driver::answerByDefault(HWND dialog, const std::wstring& caption) {
    if (answerBoxes(dialog, caption))
        return true;
    if (!timedOut())
        return false;
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    return true;
}

void Driver::disconnect() {
    if (CurrentConnection != nullptr)
        command(IDM_CONNECT);
}

void Driver::command(UINT id) { SendMessageW(MainWindow, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

bool Driver::connect(const ConnectFields& fields) {
    bool answered = false;
    Clock::time_point filledAt{};
    startResponder([&](HWND dialog, const std::wstring& caption) {
        if (answerBoxes(dialog, caption))
            return true;
        if (answered || caption != L"Connect")
            return false;
        if (filledAt == Clock::time_point{}) {
            fillConnectDialog(dialog, fields);
            filledAt = Clock::now();
        }
        if (!fields.picture.empty()) {
            if (Clock::now() < filledAt + PICTURE_SETTLE)
                return true;
            if (!saveWindowPicture(dialog, fields.picture) && Clock::now() < filledAt + PICTURE_GIVE_UP)
                return true;
        }
        answered = true;
        SendMessageW(dialog, WM_COMMAND, fields.cancel ? IDCANCEL : IDOK, 0);
        return true;
    });
    // Posted, as the menu does: the modal dialog then runs from the loop.
    PostMessageW(MainWindow, WM_COMMAND, MAKEWPARAM(IDM_CONNECT, 0), 0);
    bool done = pumpUntil([&] { return answered && findDialog(L"Connect") == nullptr; }, deadline_);
    startResponder([this](HWND dialog, const std::wstring& caption) { return answerByDefault(dialog, caption); });
    return done;
}

bool Driver::terminalSettings(bool vt52, const std::wstring& scrollback) {
    command(IDM_PREFERENCES);
    HWND dialog = findDialog(L"Terminal Settings");
    if (dialog == nullptr)
        return false;
    SendMessageW(GetDlgItem(dialog, vt52 ? IDC_TERMINAL_VT52 : IDC_TERMINAL_VT100), BM_CLICK, 0, 0);
    setField(dialog, IDC_TERMINAL_SCROLLBACK, scrollback);
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    return findDialog(L"Terminal Settings") == nullptr;
}

bool Driver::chooseFont(const std::wstring& size, const std::wstring& face, const std::wstring& style) {
    command(IDM_FONTS);
    HWND dialog = findDialog(L"Font");
    if (dialog == nullptr)
        return false;
    selectEntry(dialog, IDC_FONT_FACE, face);
    selectEntry(dialog, IDC_FONT_STYLE, style);
    selectEntry(dialog, IDC_FONT_SIZE, size);
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    return findDialog(L"Font") == nullptr;
}

bool Driver::pictureSettingsDialogs(const std::string& fontPath, const std::string& terminalPath) {
    bool saved = true;
    for (auto [item, caption, path] : {std::tuple{IDM_FONTS, L"Font", fontPath},
                                       std::tuple{IDM_PREFERENCES, L"Terminal Settings", terminalPath}}) {
        command(item);
        HWND dialog = findDialog(caption);
        idle(DWORD(std::chrono::duration_cast<std::chrono::milliseconds>(PICTURE_SETTLE).count()));
        saved = dialog != nullptr && saveWindowPicture(dialog, path) && saved;
        if (dialog != nullptr)
            SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    return saved;
}

bool Driver::waitForShell() {
    pumpUntil([] { return shellRunning() || !sessionActive(); }, deadline_);
    return shellRunning();
}

bool Driver::waitFor(const std::string& text) {
    bool found = false;
    pumpUntil([&] { return (found = Tee.take(text)) || !sessionActive(); }, deadline_);
    return found || Tee.take(text);
}

bool Driver::waitForSessionEnd() {
    return pumpUntil([] { return !sessionActive(); }, deadline_);
}

void Driver::idle(DWORD milliseconds) {
    auto until = std::min(deadline_, Clock::now() + std::chrono::milliseconds(milliseconds));
    pumpUntil([] { return false; }, until);
}

void Driver::type(const std::string& text) {
    for (char byte : text)
        SendMessageW(MainWindow, WM_CHAR, WPARAM(static_cast<unsigned char>(byte)), 1);
}

void Driver::key(UINT virtualKey) { SendMessageW(MainWindow, WM_KEYDOWN, virtualKey, 1); }

std::string Driver::screenDump() {
    ViewReadLock hold;
    return dumpScreen(terminalScreen());
}

bool Driver::screenshot(const std::string& path) {
    HDC windowDc = GetDC(MainWindow);
    HDC dc = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDc, TerminalWidth, TerminalHeight);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    RECT area = {0, 0, TerminalWidth, TerminalHeight};
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    {
        ViewReadLock hold;
        paintTerminal(dc);
    }
    SelectObject(dc, previous);
    bool saved = saveBitmap(dc, bitmap, path);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(MainWindow, windowDc);
    return saved;
}

std::string Driver::output() { return Tee.all(); }

} // namespace kestrel::drive
