// Host keys in the real window against ssh1d: the question on first contact,
// the stored key on the next, and the refusals, each with its box and status
// lines; the boxes are answered by the driver's responder.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "shell/host_key_prompt.h"
#include "shell/resource_ids.h"
#include "shell/session_flow.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"
#include "tools/kestrel1-drive/driver.h"

namespace kestrel::drive {
namespace {

constexpr double TEST_TIMEOUT_SECONDS = 60;
constexpr wchar_t KEY[] = L"Software\\Orrin Software\\Kestrel1";
constexpr wchar_t HOST_KEYS[] = L"Software\\Orrin Software\\Kestrel1\\HostKeys";
// A well-formed key that ssh1d does not have (a 101-bit modulus).
constexpr wchar_t OTHER_KEY[] = L"101 65537 1267650600228229401496703205653";

std::string fileText(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::wstring ssh1dPort() {
    std::string port = fileText(KESTREL_SSH1D_PORT_FILE);
    return widen(port.substr(0, port.find_first_of("\r\n")).c_str());
}

std::wstring valueName() { return L"127.0.0.1:" + ssh1dPort(); }

std::wstring storedKey() {
    wchar_t text[4096] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_CURRENT_USER, HOST_KEYS, valueName().c_str(), RRF_RT_REG_SZ, nullptr, text, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return text;
}

void storeKey(const std::wstring& text) {
    HKEY keys = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, HOST_KEYS, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &keys, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(keys, valueName().c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   DWORD((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(keys);
}

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

class HostKeyE2e : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, KEY);
        ASSERT_TRUE(driver.start(GetModuleHandleW(nullptr)));
    }
    void TearDown() override { driver.finish(); }

    ConnectFields server() {
        ConnectFields fields;
        fields.server = L"127.0.0.1";
        fields.port = ssh1dPort();
        fields.user = L"tester";
        fields.password = L"s3cret pass";
        return fields;
    }
    bool seen(const std::string& line) { return driver.output().find(line) != std::string::npos; }
    // Connects, expects the session to be refused at its host key and the
    // server to have seen no login; the one box shown.
    MessageBoxSeen refusedAt(const wchar_t* caption) {
        std::size_t logBefore = fileText(KESTREL_SSH1D_LOG_FILE).size();
        EXPECT_TRUE(driver.connect(server()));
        EXPECT_TRUE(driver.waitForSessionEnd());
        EXPECT_TRUE(sessionOutcome().hostKeyRefused);
        EXPECT_TRUE(seen("ERROR - Host key not accepted\n"));
        EXPECT_TRUE(seen("Host key not trusted; session refused\n"));
        EXPECT_TRUE(driver.boxes().empty()); // no "Connection Lost"
        std::string log = fileText(KESTREL_SSH1D_LOG_FILE).substr(logBefore);
        EXPECT_EQ(log.find("user '"), std::string::npos) << log;
        EXPECT_EQ(log.find("cipher "), std::string::npos) << log;
        EXPECT_EQ(driver.hostKeyBoxes().size(), 1u);
        if (driver.hostKeyBoxes().empty())
            return {};
        EXPECT_EQ(driver.hostKeyBoxes()[0].caption, caption);
        return driver.hostKeyBoxes()[0];
    }

    Driver driver{TEST_TIMEOUT_SECONDS};
};

TEST_F(HostKeyE2e, YesOnFirstContactStoresTheKeyAndTheNextConnectAsksNothing) {
    driver.acceptNewHostKeys(true);
    ASSERT_TRUE(driver.connect(server()));
    ASSERT_TRUE(driver.waitForShell());
    ASSERT_EQ(driver.hostKeyBoxes().size(), 1u);
    const MessageBoxSeen& box = driver.hostKeyBoxes()[0];
    EXPECT_EQ(box.caption, L"Unknown Host Key");
    EXPECT_TRUE(contains(box.text, L"127.0.0.1 port " + ssh1dPort())) << box.text;
    EXPECT_TRUE(contains(box.text, L"1024 bits,\nMD5:")) << box.text;
    EXPECT_TRUE(seen("Host key not known: 1024 bits, MD5:"));
    EXPECT_TRUE(seen("Host key trusted and stored\n"));
    EXPECT_EQ(storedKey().substr(0, 5), L"1024 ");
    driver.type("exit\n");
    ASSERT_TRUE(driver.waitForSessionEnd());

    ASSERT_TRUE(driver.connect(server()));
    ASSERT_TRUE(driver.waitForShell());
    EXPECT_EQ(driver.hostKeyBoxes().size(), 1u);
    EXPECT_TRUE(seen("Host key known: 1024 bits, MD5:"));
    EXPECT_FALSE(sessionOutcome().hostKeyRefused);
}

TEST_F(HostKeyE2e, NoOnFirstContactEndsTheSessionWithoutALostBox) {
    MessageBoxSeen box = refusedAt(CAPTION_UNKNOWN_HOST_KEY);
    EXPECT_TRUE(contains(box.text, L"Trust this key and remember it?")) << box.text;
    EXPECT_EQ(storedKey(), L"<missing>");
    EXPECT_EQ(CurrentConnection, nullptr);
}

TEST_F(HostKeyE2e, AChangedKeyIsRefusedWithBothFingerprintsAndStaysStored) {
    storeKey(OTHER_KEY);
    driver.acceptNewHostKeys(true); // never asked: a changed key is not a new one
    MessageBoxSeen box = refusedAt(CAPTION_HOST_KEY_CHANGED);
    EXPECT_TRUE(contains(box.text, L"Stored key:\nMD5:")) << box.text;
    EXPECT_TRUE(contains(box.text, L"New key:\nMD5:")) << box.text;
    EXPECT_TRUE(contains(box.text, L"delete the value \"" + valueName() + L"\"")) << box.text;
    EXPECT_TRUE(seen("ERROR - Host key changed: 1024 bits, MD5:"));
    EXPECT_EQ(storedKey(), OTHER_KEY);
}

// The other damaged forms are the engine's table (host_key_test.cpp).
TEST_F(HostKeyE2e, AStoredKeyThatCannotBeReadRefusesTheSession) {
    storeKey(L"1024 65537 12x");
    driver.acceptNewHostKeys(true);
    MessageBoxSeen box = refusedAt(CAPTION_HOST_KEY_UNREADABLE);
    EXPECT_TRUE(contains(box.text, L"cannot be read")) << box.text;
    EXPECT_TRUE(seen("ERROR - Stored host key cannot be read"));
    EXPECT_EQ(storedKey(), L"1024 65537 12x");
}

TEST_F(HostKeyE2e, ClosingWhileTheQuestionIsOpenAnswersNoAndEnds) {
    driver.closeAtHostKeyBox(true);
    ASSERT_TRUE(driver.connect(server()));
    ASSERT_TRUE(pumpUntil([] { return quitSeen(); }, Clock::now() + std::chrono::seconds(20)));
    EXPECT_EQ(CurrentSession, nullptr);
    EXPECT_EQ(MainWindow, nullptr);
    EXPECT_TRUE(driver.boxes().empty());
    ASSERT_EQ(driver.hostKeyBoxes().size(), 1u);
    EXPECT_EQ(driver.hostKeyBoxes()[0].caption, CAPTION_UNKNOWN_HOST_KEY);
    EXPECT_EQ(storedKey(), L"<missing>");
    EXPECT_TRUE(seen("Host key not trusted; session refused\n"));
}

} // namespace
} // namespace kestrel::drive
