// Works the real Kestrel1 main window in this process as a user would:
// menu commands, dialog controls and keys, with every wait bounded by one
// deadline. Used by kestrel1-drive and by the end-to-end tests.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/kestrel1-drive/ui_pump.h"

namespace kestrel::drive {

struct ConnectFields {
    std::wstring server;
    std::wstring port;
    std::wstring user;
    std::wstring password;
    bool cancel = false;        // Cancel instead of OK
    std::string picture;        // BMP of the filled-in dialog, taken before it is answered
    std::wstring deleteServer;  // typed into the server box and deleted first
};

struct MessageBoxSeen {
    std::wstring caption;
    std::wstring text;
};

class Driver {
public:
    explicit Driver(double timeoutSeconds);

    // Starts the program (class, set-up, banner); false when it cannot.
    bool start(HINSTANCE instance);
    // Exit, then the message loop until the quit message.
    void finish();

    // A command as the menu bar or the context menu sends it.
    void command(UINT id);
    // "Disconnect", when the first menu offers it.
    void disconnect();
    // The Connect command with the dialog filled in; true once the dialog
    // was answered.
    bool connect(const ConnectFields& fields);
    // Terminal Settings: the terminal type and, when given, the scroll-back
    // field's text; OK.
    bool terminalSettings(bool vt52, const std::wstring& scrollback = L"");
    // Font: size text (and, when given, face and style); OK.
    bool chooseFont(const std::wstring& size, const std::wstring& face = L"", const std::wstring& style = L"");
    // Pictures of the two settings dialogs as they open (then cancelled).
    bool pictureSettingsDialogs(const std::string& fontPath, const std::string& terminalPath);

    // Waits; each false when the deadline passed or the session ended first.
    bool waitForShell();
    bool waitFor(const std::string& text);
    bool waitForSessionEnd();
    // Lets the program run for a while (bounded by the deadline).
    void idle(DWORD milliseconds);

    void type(const std::string& text);  // WM_CHAR per byte
    void key(UINT virtualKey);           // WM_KEYDOWN

    std::string screenDump();
    // The terminal area as painted, into a BMP file.
    bool screenshot(const std::string& path);

    bool timedOut() const { return Clock::now() >= deadline_; }
    // The boxes other than the host-key questions and reports.
    const std::vector<MessageBoxSeen>& boxes() const { return boxes_; }
    const std::vector<MessageBoxSeen>& hostKeyBoxes() const { return hostKeyBoxes_; }
    // The answer to "Unknown Host Key" (No unless set); a changed or
    // unreadable key's box is acknowledged.
    void acceptNewHostKeys(bool accept) { acceptNewHostKeys_ = accept; }
    // When set, the first host-key box is saved there before it is answered.
    void pictureHostKeyBox(const std::string& path) { hostKeyPicture_ = path; }
    // Instead of answering a host-key box, asks the program to close (as the
    // window's close button does) while the box is open.
    void closeAtHostKeyBox(bool close) { closeAtHostKeyBox_ = close; }
    // Everything the terminal was fed since start (status lines and output).
    std::string output();

private:
    bool answerBoxes(HWND dialog, const std::wstring& caption);
    bool answerHostKeyBox(HWND dialog, const std::wstring& caption);
    // Boxes are answered; past the deadline any dialog is cancelled, so that
    // no modal loop outlasts the run.
    bool answerByDefault(HWND dialog, const std::wstring& caption);

    Clock::time_point deadline_;
    std::vector<MessageBoxSeen> boxes_;
    std::vector<MessageBoxSeen> hostKeyBoxes_;
    bool acceptNewHostKeys_ = false;
    bool closeAtHostKeyBox_ = false;
    std::string hostKeyPicture_;
    Clock::time_point hostKeyBoxSeen_{};
};

} // namespace kestrel::drive
