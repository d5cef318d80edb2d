// The real main window and its dialogs, worked as a user would, against a
// live ssh1d on loopback.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/device_services.h"
#include "tools/kestrel1-drive/driver.h"
#include "shell/resource_ids.h"
#include "shell/session_flow.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"

namespace kestrel::drive {
namespace {

constexpr double TEST_TIMEOUT_SECONDS = 60;
constexpr wchar_t KEY[] = L"Software\\Orrin Software\\Kestrel1";

std::wstring ssh1dPort() {
    std::ifstream in(KESTREL_SSH1D_PORT_FILE);
    std::string port;
    in >> port;
    return widen(port.c_str());
}

std::wstring storedText(const wchar_t* name) {
    wchar_t text[128] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_CURRENT_USER, KEY, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return text;
}

long storedNumber(const wchar_t* name) {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, KEY, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return -1000;
    return long(int32_t(value));
}

HMENU subMenu(UINT button) {
    return reinterpret_cast<HMENU>(SendMessageW(MenuBar, MSG_MENU_BAR_GET_SUB_MENU, 0, button));
}

std::wstring connectItemText() {
    wchar_t text[32] = {};
    GetMenuStringW(subMenu(IDB_MENU_CONNECT), IDM_CONNECT, text, 32, MF_BYCOMMAND);
    return text;
}

bool cipherItemsEnabled() {
    bool enabled = true;
    for (UINT item : {IDM_CIPHER_3DES, IDM_CIPHER_BLOWFISH, IDM_CIPHER_NONE})
        enabled = enabled && (GetMenuState(subMenu(IDB_MENU_TOOLS), item, MF_BYCOMMAND) & MF_GRAYED) == 0;
    return enabled;
}

int dialogCount(const wchar_t* caption) {
    int count = 0;
    for (HWND at = nullptr; (at = FindWindowExW(nullptr, at, L"#32770", caption)) != nullptr;)
        ++count;
    return count;
}

bool cipherChecked(UINT item) { return (GetMenuState(subMenu(IDB_MENU_TOOLS), item, MF_BYCOMMAND) & MF_CHECKED) != 0; }

// A listener on loopback whose one-place accept queue is taken by a client
// of its own: the program's connect to it waits (the system drops its SYNs)
// until release() empties the queue and relays the connection to ssh1d.
class HeldListener {
public:
    HeldListener() {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 0);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        filler_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~HeldListener() {
        closesocket(listener_);
        closesocket(filler_);
        if (relay_.joinable())
            relay_.join();
    }
    std::wstring port() const { return std::to_wstring(port_); }

    void release(uint16_t target) {
        relay_ = std::thread([this, target] {
            closesocket(accept(listener_, nullptr, nullptr)); // the filler's place
            SOCKET client = accept(listener_, nullptr, nullptr);
            SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(target);
            if (client != INVALID_SOCKET &&
                connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                pipe(client, server);
            closesocket(client);
            closesocket(server);
        });
    }

private:
    static void pipe(SOCKET a, SOCKET b) {
        char buffer[4096];
        for (;;) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(a, &ready);
            FD_SET(b, &ready);
            if (select(0, &ready, nullptr, nullptr, nullptr) <= 0)
                return;
            for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
                if (!FD_ISSET(from, &ready))
                    continue;
                int got = recv(from, buffer, sizeof buffer, 0);
                if (got <= 0 || send(to, buffer, got, 0) != got)
                    return;
            }
        }
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET filler_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread relay_;
};

class SessionE2e : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, KEY);
        driver.acceptNewHostKeys(true); // ssh1d's key is new to every test
        ASSERT_TRUE(driver.start(GetModuleHandleW(nullptr)));
    }
    void TearDown() override { driver.finish(); }

    static ConnectFields server(const std::wstring& port = ssh1dPort()) {
        ConnectFields fields;
        fields.server = L"127.0.0.1";
        fields.port = port;
        fields.user = L"tester";
        fields.password = L"s3cret pass";
        return fields;
    }
    bool connectToShell() { return driver.connect(server()) && driver.waitForShell(); }
    // The Connect dialog answered, and the connect itself still running.
    bool connectHeld(const HeldListener& held) {
        if (!driver.connect(server(held.port())))
            return false;
        driver.idle(300);
        return sessionActive() && CurrentSession == nullptr;
    }
    bool onScreen(const std::string& line) { return driver.screenDump().find("|" + line + "|") != std::string::npos; }

    Driver driver{TEST_TIMEOUT_SECONDS};
};

TEST_F(SessionE2e, EachCipherRunsASessionThatTheServerEnds) {
    struct Case {
        UINT item;
        const char* selected;
        std::string marker;
    } cases[] = {{IDM_CIPHER_3DES, "Cipher '3DES' selected.", "des"},
                 {IDM_CIPHER_BLOWFISH, "Cipher 'BLOWFISH' selected.", "fish"},
                 {IDM_CIPHER_NONE, "Encryption disabled.", "none"}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.marker);
        driver.command(test.item);
        ASSERT_TRUE(connectToShell());
        EXPECT_TRUE(driver.waitFor(test.selected));
        EXPECT_EQ(connectItemText(), L"Disconnect");
        EXPECT_FALSE(cipherItemsEnabled());
        driver.type("echo " + test.marker + "-$((6*7))\n");
        ASSERT_TRUE(driver.waitFor(test.marker + "-42\r\n"));
        // The prompt may come after the typed line's echo, on the output's line.
        EXPECT_NE(driver.screenDump().find(test.marker + "-42|"), std::string::npos);
        driver.type("exit\n");
        ASSERT_TRUE(driver.waitForSessionEnd());
        EXPECT_EQ(connectItemText(), L"Connect");
        EXPECT_TRUE(cipherItemsEnabled());
    }
    ASSERT_EQ(driver.boxes().size(), 3u);
    EXPECT_EQ(driver.boxes()[0].text, L"Connection to server lost.");
    EXPECT_EQ(driver.boxes()[0].caption, L"Connection Lost");
}

TEST_F(SessionE2e, DisconnectEndsTheSessionWithoutABox) {
    ASSERT_TRUE(connectToShell());
    driver.command(IDM_CONNECT);
    ASSERT_TRUE(driver.waitForSessionEnd());
    EXPECT_EQ(connectItemText(), L"Connect");
    EXPECT_TRUE(driver.boxes().empty());
    EXPECT_EQ(CurrentSession, nullptr);
}

TEST_F(SessionE2e, ClosingWhileConnectedShowsNoBoxAndEnds) {
    ASSERT_TRUE(connectToShell());
    driver.finish();
    EXPECT_TRUE(quitSeen());
    EXPECT_EQ(CurrentSession, nullptr);
    EXPECT_TRUE(driver.boxes().empty());
}

TEST_F(SessionE2e, RefusedPortLeavesTheClientDisconnected) {
    SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe); // nothing listens there now
    ASSERT_TRUE(driver.connect(server(std::to_wstring(ntohs(address.sin_port)))));
    ASSERT_TRUE(driver.waitForSessionEnd());
    EXPECT_NE(driver.output().find("\nConnecting to host...\nCould not connect to host.\n"), std::string::npos);
    EXPECT_EQ(connectItemText(), L"Connect");
    EXPECT_TRUE(cipherItemsEnabled());
    EXPECT_TRUE(driver.boxes().empty());
    EXPECT_EQ(CurrentConnection, nullptr);
}

// A listener whose accept queue is full drops further connection requests,
// so a connect to it waits as for an address that never answers.
TEST_F(SessionE2e, ConnectToASilentAddressCanBeCancelled) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener, 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 3; ++i) {
        SOCKET filler = socket(AF_INET, SOCK_STREAM, 0);
        u_long nonBlocking = 1;
        ioctlsocket(filler, FIONBIO, &nonBlocking);
        connect(filler, reinterpret_cast<sockaddr*>(&address), length);
        fillers.push_back(filler);
    }
    driver.idle(200);
    ASSERT_TRUE(driver.connect(server(std::to_wstring(ntohs(address.sin_port)))));
    driver.idle(500); // the window keeps serving its messages meanwhile
    EXPECT_TRUE(sessionActive());
    EXPECT_EQ(connectItemText(), L"Connect");
    driver.command(IDM_CONNECT);
    EXPECT_FALSE(sessionActive());
    EXPECT_EQ(CurrentConnection, nullptr);
    EXPECT_EQ(driver.output().find("Could not connect"), std::string::npos);
    for (SOCKET filler : fillers)
        closesocket(filler);
    closesocket(listener);
}

TEST_F(SessionE2e, ConnectDialogStoresTheServerList) {
    ConnectFields typed;
    typed.server = L"newhost";
    typed.cancel = true;
    ASSERT_TRUE(driver.connect(typed));
    EXPECT_EQ(storedText(L"CEServer0"), L"newhost");
    EXPECT_EQ(storedNumber(L"CENumservers"), 1);
    EXPECT_EQ(storedText(L"CEUsername"), L"username");
    EXPECT_EQ(storedText(L"CEServerPort"), L"22");

    ConnectFields removeLast;
    removeLast.deleteServer = L"newhost";
    removeLast.cancel = true;
    ASSERT_TRUE(driver.connect(removeLast));
    EXPECT_EQ(storedNumber(L"CENumservers"), 0);

    for (const wchar_t* name : {L"alpha", L"beta", L"gamma"}) {
        typed.server = name;
        ASSERT_TRUE(driver.connect(typed));
    }
    ConnectFields removeMiddle;
    removeMiddle.deleteServer = L"beta";
    removeMiddle.cancel = true;
    ASSERT_TRUE(driver.connect(removeMiddle));
    EXPECT_EQ(storedNumber(L"CENumservers"), 2);
    EXPECT_EQ(storedText(L"CEServer0"), L"alpha");
    EXPECT_EQ(storedText(L"CEServer1"), L"gamma");
    EXPECT_EQ(storedText(L"CEServer2"), L"gamma"); // stale, never read
}

TEST_F(SessionE2e, FontDialogStoresTheHeightAndRelaysTheGrid) {
    HDC dc = GetDC(MainWindow);
    int pixelsPerInch = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(MainWindow, dc);
    ASSERT_EQ(pixelsPerInch, 96);
    int columns = terminalScreen().columns();
    ASSERT_TRUE(driver.chooseFont(L"10", L"", L"Bold"));
    EXPECT_EQ(storedNumber(L"CEChannelFontSize"), -13);
    EXPECT_EQ(storedNumber(L"CEChannelFontWeight"), 700);
    EXPECT_NE(terminalScreen().columns(), columns);
}

TEST_F(SessionE2e, SettingsDialogsOpenOnceAndOutliveTheSession) {
    ASSERT_TRUE(connectToShell());
    for (int twice = 0; twice < 2; ++twice) {
        driver.command(IDM_FONTS);
        driver.command(IDM_PREFERENCES);
    }
    EXPECT_EQ(dialogCount(L"Font"), 1);
    EXPECT_EQ(dialogCount(L"Terminal Settings"), 1);
    driver.type("exit\n");
    ASSERT_TRUE(driver.waitForSessionEnd());
    ASSERT_TRUE(driver.chooseFont(L"12"));
    ASSERT_TRUE(driver.terminalSettings(true, L"0"));
    EXPECT_EQ(storedNumber(L"CEChannelFontSize"), -16);
    EXPECT_EQ(storedNumber(L"CETermType"), 1);
    EXPECT_EQ(storedNumber(L"CENumScrollBackLines"), 0);
    EXPECT_EQ(terminalScreen().lineCount(), terminalScreen().rows());
}

TEST_F(SessionE2e, ScrollbackRaisedDuringASessionKeepsFiveHundredLines) {
    ASSERT_TRUE(connectToShell());
    ASSERT_TRUE(driver.terminalSettings(false, L"9999"));
    EXPECT_EQ(ScrollbackLines, 500);
    EXPECT_EQ(storedNumber(L"CENumScrollBackLines"), 500);
    driver.type("seq 1 600; echo se''q-done\n");
    ASSERT_TRUE(driver.waitFor("seq-done\r\n"));
    driver.idle(300);
    EXPECT_EQ(terminalScreen().lineCount(), terminalScreen().rows() + 500);
    EXPECT_TRUE(onScreen("150"));  // beyond a 100-line history
    EXPECT_TRUE(onScreen("600"));
    EXPECT_FALSE(onScreen("2"));   // 600 lines do not fit 500 and a screen
}

TEST_F(SessionE2e, ServerSeesTheNewWindowSizeAfterARelayout) {
    ASSERT_TRUE(connectToShell());
    ASSERT_TRUE(driver.chooseFont(L"16"));
    std::string size = std::to_string(terminalScreen().rows()) + " " + std::to_string(terminalScreen().columns());
    driver.type("stty size\n");
    EXPECT_TRUE(driver.waitFor("\n" + size + "\r\n"));
}

TEST_F(SessionE2e, TerminalTypeChangesKeysAtOnceAndTheNameNextTime) {
    ASSERT_TRUE(driver.terminalSettings(true));
    ASSERT_TRUE(connectToShell());
    driver.type("echo \"[$TERM]\"\n");
    ASSERT_TRUE(driver.waitFor("[vt52]"));
    ASSERT_TRUE(driver.terminalSettings(false));
    driver.type("od -c\n");
    driver.key(VK_UP);
    driver.type("\n\x04");
    EXPECT_TRUE(driver.waitFor("033   [   A"));
    driver.type("echo \"[$TERM]\"; exit\n");
    EXPECT_TRUE(driver.waitFor("[vt52]"));
    ASSERT_TRUE(driver.waitForSessionEnd());
    ASSERT_TRUE(connectToShell());
    driver.type("echo \"[$TERM]\"; exit\n");
    EXPECT_TRUE(driver.waitFor("[vt100]"));
}

// What the user chooses while the connect runs is what the session gets:
// the cipher shown is the one used, and the grid laid out anew is the size
// the pseudo-terminal request carries.
TEST_F(SessionE2e, ChoicesDuringAConnectAreTheSessionsChoices) {
    HeldListener held;
    driver.command(IDM_CIPHER_BLOWFISH);
    ASSERT_TRUE(connectHeld(held));
    EXPECT_FALSE(cipherItemsEnabled());
    driver.command(IDM_CIPHER_NONE);
    EXPECT_TRUE(cipherChecked(IDM_CIPHER_BLOWFISH));
    EXPECT_FALSE(cipherChecked(IDM_CIPHER_NONE));
    int rows = terminalScreen().rows();
    ASSERT_TRUE(driver.chooseFont(L"16"));
    ASSERT_NE(terminalScreen().rows(), rows);
    std::string size = std::to_string(terminalScreen().rows()) + " " + std::to_string(terminalScreen().columns());
    held.release(uint16_t(std::stoi(ssh1dPort())));
    ASSERT_TRUE(driver.waitForShell());
    EXPECT_TRUE(driver.waitFor("Cipher 'BLOWFISH' selected."));
    driver.type("stty size\n");
    EXPECT_TRUE(driver.waitFor("\n" + size + "\r\n"));
    driver.type("exit\n");
    EXPECT_TRUE(driver.waitForSessionEnd());
}

TEST_F(SessionE2e, FirstItemDuringAConnectGivesItUpWithAStatusLine) {
    HeldListener held;
    ASSERT_TRUE(connectHeld(held));
    driver.command(IDM_CONNECT);
    EXPECT_TRUE(driver.waitFor("Connection attempt abandoned.\n"));
    EXPECT_FALSE(sessionActive());
    EXPECT_EQ(connectItemText(), L"Connect");
    EXPECT_TRUE(cipherItemsEnabled());
    EXPECT_TRUE(driver.boxes().empty());
}

} // namespace
} // namespace kestrel::drive
