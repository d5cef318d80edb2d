// kestrel1-drive: Kestrel1's real main window, worked from the command line
// as a user would, for people checking the program against their server and
// for the end-to-end tests and screenshots.
#include <windows.h>

#include <cstdio>
#include <string>

#include "crypto/secure_zero.h"
#include "tools/common/program_version.h"
#include "tools/kestrel1-drive/drive_options.h"
#include "tools/kestrel1-drive/driver.h"
#include "engine/settings_schema.h"
#include "shell/host_key_store.h"
#include "shell/resource_ids.h"
#include "shell/session_flow.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"

namespace kestrel::drive {
namespace {

// After a time-out the session is ended through the menu; its end is
// awaited this much longer.
constexpr double WIND_DOWN_SECONDS = 10;

// Every run's settings and known host keys live under a key of its
// own, named after the process, that stands in for the user's root.
class PrivateRegistry {
public:
    PrivateRegistry() {
        path_ = L"Software\\Kestrel1-drive\\run-" + std::to_wstring(GetCurrentProcessId());
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &root_, nullptr) == ERROR_SUCCESS)
            RegOverridePredefKey(HKEY_CURRENT_USER, root_);
        else
            root_ = nullptr;
    }
    ~PrivateRegistry() {
        if (root_ == nullptr)
            return;
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    bool ready() const { return root_ != nullptr; }

private:
    std::wstring path_;
    HKEY root_ = nullptr;
};

bool putKeyOnRecord(const Options& options) {
    std::wstring path = widen(settings::KEY_PATH) + L"\\" + widen(HOST_KEYS_SUBKEY);
    HKEY keys = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &keys, nullptr) !=
        ERROR_SUCCESS)
        return false;
    std::wstring text = widen(options.storedHostKey.c_str());
    bool stored = RegSetValueExW(keys, hostKeyValueName(options.host, options.port).c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(text.c_str()),
                                 DWORD((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(keys);
    return stored;
}

int exitCodeFor(const SessionOutcome& outcome) {
    if (outcome.connectFailed)
        return tools::EXIT_CONNECT_FAILED;
    if (outcome.hostKeyRefused)
        return tools::EXIT_HOST_KEY_REFUSED;
    if (!outcome.sessionRan)
        return tools::EXIT_TIMED_OUT;
    switch (outcome.end) {
    case END_SERVER_EXIT:
    case END_SERVER_DISCONNECT:
    case END_CONNECTION_LOST:
        return tools::EXIT_SESSION_ENDED;
    case END_LOGIN_REFUSED:
        return tools::EXIT_LOGIN_REFUSED;
    default:
        return tools::EXIT_PROTOCOL_FAILED;
    }
}

void runSteps(const Options& options, Driver& driver) {
    if (!driver.waitForShell())
        return;
    for (const ScriptStep& step : options.script) {
        if (step.send)
            driver.type(step.text);
        else if (!driver.waitFor(step.text))
            return;
    }
}

// The session's part of the run; false when it did not end in time.
bool runSession(Options& options, Driver& driver) {
    if (options.cipherCommand != 0)
        driver.command(options.cipherCommand);
    // The stored terminal type is the program's own; like the headless
    // client, the driver asks for VT-100 unless told otherwise.
    if (options.vt52 != UseVt52)
        driver.terminalSettings(options.vt52);
    std::string pictures = options.dialogPictures.empty() ? "" : options.dialogPictures + "/";
    if (!pictures.empty() && !driver.pictureSettingsDialogs(pictures + "font.bmp", pictures + "terminal-settings.bmp"))
        std::fputs("kestrel1-drive: cannot save the dialog pictures\n", stderr);
    ConnectFields fields;
    fields.server = widen(options.host.c_str());
    fields.port = widen(options.portText.c_str());
    fields.user = widen(options.user.c_str());
    fields.password = widen(options.password.c_str());
    if (!pictures.empty())
        fields.picture = pictures + "connect.bmp";
    secureZero(options.password.data(), options.password.size());
    bool answered = driver.connect(fields);
    SecureZeroMemory(fields.password.data(), fields.password.size() * sizeof(wchar_t));
    if (!answered)
        return false;
    runSteps(options, driver);
    if (options.disconnect)
        driver.disconnect();
    return driver.waitForSessionEnd();
}

int run(Options& options) {
    PrivateRegistry registry;
    if (!registry.ready()) {
        std::fputs("kestrel1-drive: cannot make a registry key of its own\n", stderr);
        return tools::EXIT_PROTOCOL_FAILED;
    }
    Driver driver(options.timeoutSeconds);
    driver.acceptNewHostKeys(options.acceptNewHostKey);
    if (!options.dialogPictures.empty())
        driver.pictureHostKeyBox(options.dialogPictures + "/host-key.bmp");
    if (!options.storedHostKey.empty() && !putKeyOnRecord(options)) {
        std::fputs("kestrel1-drive: cannot store the given host key\n", stderr);
        return tools::EXIT_PROTOCOL_FAILED;
    }
    if (!driver.start(GetModuleHandleW(nullptr))) {
        std::fputs("kestrel1-drive: the program did not start (another copy running?)\n", stderr);
        return tools::EXIT_PROTOCOL_FAILED;
    }
    bool ended = runSession(options, driver);
    if (!ended) {
        Driver windDown(WIND_DOWN_SECONDS);
        windDown.disconnect();
        windDown.waitForSessionEnd();
    }
    std::string screen = driver.screenDump();
    std::fwrite(screen.data(), 1, screen.size(), stdout);
    for (const MessageBoxSeen& box : driver.hostKeyBoxes())
        std::fprintf(stderr, "kestrel1-drive: message box \"%s\"\n", narrow(box.caption.c_str()).c_str());
    for (const MessageBoxSeen& box : driver.boxes())
        std::fprintf(stderr, "kestrel1-drive: message box \"%s\": %s\n", narrow(box.caption.c_str()).c_str(),
                     narrow(box.text.c_str()).c_str());
    if (!options.screenshot.empty() && !driver.screenshot(options.screenshot))
        std::fprintf(stderr, "kestrel1-drive: cannot write %s\n", options.screenshot.c_str());
    driver.finish();
    std::fflush(stdout);
    if (!ended) {
        std::fputs("kestrel1-drive: timed out\n", stderr);
        return tools::EXIT_TIMED_OUT;
    }
    return exitCodeFor(sessionOutcome());
}

} // namespace
} // namespace kestrel::drive

int main(int argc, char** argv) {
    if (kestrel::tools::versionAsked(argc, argv))
        return kestrel::tools::printVersion("kestrel1-drive");
    kestrel::drive::Options options;
    std::string error;
    if (!kestrel::drive::parseOptions(argc, argv, options, error)) {
        if (!error.empty())
            std::fprintf(stderr, "kestrel1-drive: %s\n", error.c_str());
        std::fputs(kestrel::drive::USAGE, error.empty() ? stdout : stderr);
        return error.empty() ? 0 : kestrel::tools::EXIT_USAGE;
    }
    return kestrel::drive::run(options);
}
