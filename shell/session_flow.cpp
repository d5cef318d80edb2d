#include "shell/session_flow.h"

#include <cwchar>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "engine/secret_text.h"
#include "engine/status_log.h"
#include "shell/connect_dialog.h"
#include "shell/device_services.h"
#include "shell/input_queue.h"
#include "shell/host_key_prompt.h"
#include "shell/resource_ids.h"
#include "shell/settings_store.h"
#include "shell/session_commands.h"
#include "shell/shell_state.h"

namespace kestrel {
namespace {

// The handheld's settings live in the registry; the advice lines say so.
class HandheldSessionHost : public ShellSessionHost {
public:
    using ShellSessionHost::ShellSessionHost;
    std::string settingName(const char* keyword) const override {
        return std::string("the registry value CE") + keyword;
    }
};

// One connection from the Connect dialog's OK to the end of its session. The
// worker owns it until the user-interface thread accepts the connect result;
// from then on the user-interface thread does (CurrentRun), and the worker,
// parked in its last message, touches nothing of it.
struct SessionRun {
    SessionRun(std::string user, std::string password, bool vt52, TerminalGeometry size)
        : sessionHost(std::move(user), password, vt52, size) {
        wipeString(password);
    }

    std::unique_ptr<Transport> transport = std::make_unique<Transport>();
    std::string host;
    uint16_t port = 0;
    uint32_t cipher = CIPHER_CHOICE_3DES;
    // What the session asks of the program, taken when the user pressed OK:
    // a new terminal type applies from the next connection on.
    HandheldSessionHost sessionHost;
    WireHidingSettings wireHiding;
    SessionState* session = nullptr;
    SessionEnd end = END_CONNECTION_LOST;
};

constexpr wchar_t RELAY_CLASS[] = L"Kestrel1SessionRelay";
// The port field holds at most 5 digits; the text is read as at most 8.
constexpr std::size_t PORT_READ_LIMIT = 8;

SessionRun* PendingRun = nullptr;  // connecting; owned by its worker
SessionRun* CurrentRun = nullptr;  // connected; owned here
HWND RelayWindow = nullptr;
SessionOutcome Outcome;

TerminalGeometry currentGeometry() {
    const ScreenBuffer& screen = terminalScreen();
    return {uint32_t(screen.rows()), uint32_t(screen.columns()), uint32_t(TerminalWidth),
            uint32_t(TerminalHeight)};
}

HMENU menuBarSubMenu(UINT buttonId) {
    if (MenuBar == nullptr)
        return nullptr;
    return reinterpret_cast<HMENU>(SendMessageW(MenuBar, MSG_MENU_BAR_GET_SUB_MENU, 0, buttonId));
}

// The cipher is copied into the run at the Connect dialog's OK, so from
// then on the items stay greyed: the check mark always shows the cipher in
// force.
void enableCipherItems(bool enabled) {
    if (HMENU tools = menuBarSubMenu(IDB_MENU_TOOLS))
        for (UINT command : {IDM_CIPHER_3DES, IDM_CIPHER_BLOWFISH, IDM_CIPHER_NONE})
            EnableMenuItem(tools, command, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void setMenuState(bool connected) {
    HMENU first = menuBarSubMenu(IDB_MENU_CONNECT);
    if (first == nullptr)
        return;
    wchar_t connectText[] = L"Connect";
    wchar_t disconnectText[] = L"Disconnect";
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_TYPE;
    item.fType = MFT_STRING;
    item.dwTypeData = connected ? disconnectText : connectText;
    SetMenuItemInfoW(first, IDM_CONNECT, FALSE, &item);
    enableCipherItems(!connected);
}

// The session and its run go together, once the worker has reported. A
// session the user did not end may get the advice line about chaff.
void releaseSession(bool lost = false) {
    if (CurrentSession != nullptr && CurrentSession->workerRunning.load())
        return; // still running: never pulled from under the worker
    if (CurrentRun != nullptr)
        endKeystrokeTiming(lost ? CurrentRun->end : END_SERVER_EXIT, CurrentRun->sessionHost);
    if (CurrentSession != nullptr && !destroySession(CurrentSession))
        return;
    CurrentSession = nullptr;
    if (CurrentRun != nullptr) {
        Outcome.end = CurrentRun->end;
        Outcome.hostKeyRefused = CurrentRun->sessionHost.hostKeyRefused();
        delete CurrentRun;
        CurrentRun = nullptr;
    }
}

// Lets the worker of a session that was told to end deliver its report,
// handling only sent messages, for at most limitMs.
bool waitForWorkerReport(DWORD limitMs) {
    DWORD start = GetTickCount();
    while (CurrentRun != nullptr) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= limitMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, limitMs - elapsed, QS_SENDMESSAGE);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    return true;
}

LRESULT connectResult(int opened, SessionRun* run) {
    if (run == nullptr || run != PendingRun)
        return SESSION_ABANDON; // the user gave this connect up
    PendingRun = nullptr;
    setMenuState(true);
    if (opened != 1) {
        logStatus("Could not connect to host.\n");
        Outcome.connectFailed = true;
        disconnectCommand();
        return SESSION_ABANDON;
    }
    logStatus("Connected to host.\n");
    run->session = new SessionState(std::move(run->transport), run->cipher, run->sessionHost);
    CurrentSession = run->session;
    CurrentRun = run;
    startKeystrokeTiming(*run->session, run->wireHiding.obscureKeystrokeTiming);
    Outcome.sessionRan = true;
    return SESSION_GO;
}

LRESULT CALLBACK relayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == MSG_CONNECT_RESULT)
        return connectResult(int(wParam), reinterpret_cast<SessionRun*>(lParam));
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND relayWindow() {
    if (RelayWindow != nullptr)
        return RelayWindow;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = relayProc;
    windowClass.hInstance = Instance;
    windowClass.lpszClassName = RELAY_CLASS;
    RegisterClassW(&windowClass);
    RelayWindow = CreateWindowW(RELAY_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    return RelayWindow;
}

// The worker: the platform's connect, then (when the user-interface thread
// takes the connection) the whole session, then its synchronous report.
void sessionThreadMain(SessionRun* run, HWND relay) {
    int opened = run->transport->stream().open(run->host.c_str(), run->port);
    LRESULT answer = SendMessageW(relay, MSG_CONNECT_RESULT, WPARAM(opened), LPARAM(run));
    if (answer != SESSION_GO) {
        run->transport->stream().close();
        delete run;
        return;
    }
    run->end = runSession(*run->session);
    SendMessageW(MainWindow, MSG_SESSION_ENDED, 0, 0);
}

uint16_t portNumber() {
    std::wstring text = widen(PortText, PORT_READ_LIMIT);
    return uint16_t(std::wcstol(text.c_str(), nullptr, 10) & 0xFFFF);
}

} // namespace

void connectCommand() {
    // A session the user just ended may still be reporting; a new one must
    // not be taken for it.
    if (!waitForWorkerReport(WORKER_REPORT_WAIT_MS))
        return;
    if (!runConnectDialog())
        return;
    auto* run = new SessionRun(UserName, Password, UseVt52, currentGeometry());
    // The dialog starts with an empty password field, so nothing needs it
    // again once the session has its copy.
    SecureZeroMemory(Password, sizeof Password);
    run->host = HostName;
    run->port = portNumber();
    run->sessionHost.setServer(run->host, run->port);
    run->cipher = uint32_t(CipherChoice);
    run->wireHiding = loadWireHidingSettings();
    run->sessionHost.setPasswordCamouflage(run->wireHiding.camouflage);
    CurrentConnection = run->transport.get();
    logStatus("\nConnecting to host...\n");
    PendingRun = run;
    enableCipherItems(false);
    try {
        std::thread(sessionThreadMain, run, relayWindow()).detach();
    } catch (const std::system_error&) {
        connectResult(-1, run);
        delete run;
    }
}

void disconnectCommand() {
    if (PendingRun != nullptr && !ShuttingDown)
        logStatus("Connection attempt abandoned.\n");
    setMenuState(false);
    CurrentConnection = nullptr;
    PendingRun = nullptr; // its worker releases it when the connect returns
    if (CurrentSession != nullptr)
        interruptSession(*CurrentSession);
    if (!ShuttingDown)
        return;
    waitForWorkerReport(WORKER_REPORT_WAIT_MS);
    if (RelayWindow != nullptr)
        DestroyWindow(RelayWindow);
    RelayWindow = nullptr;
}

void handleSessionEnded() {
    if (CurrentConnection != nullptr && CurrentRun != nullptr) {
        CurrentConnection = nullptr;
        setMenuState(false);
        releaseSession(true);
        // A refused host key was the user's own decision, told in its box.
        if (!ShuttingDown && !Outcome.hostKeyRefused) {
            ++Outcome.lostBoxes;
            MessageBoxW(MainWindow, L"Connection to server lost.", L"Connection Lost", MB_OK);
        }
        return;
    }
    releaseSession();
}

// A re-layout while the connect runs must reach the pseudo-terminal request
// that follows it: the pending run's host is read by its worker only after
// the connect result, and its geometry is locked.
void reportWindowSize() {
    SessionRun* run = CurrentRun != nullptr ? CurrentRun : PendingRun;
    if (run == nullptr)
        return;
    run->sessionHost.setGeometry(currentGeometry());
    if (CurrentSession != nullptr)
        sendWindowSize(*CurrentSession);
}

const SessionOutcome& sessionOutcome() { return Outcome; }

bool sessionActive() { return PendingRun != nullptr || CurrentRun != nullptr; }

} // namespace kestrel
