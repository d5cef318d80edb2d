// The shell's program-wide state. Owned and touched by the user-interface
// thread only, except where a comment says otherwise.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "engine/session.h"
#include "engine/transport.h"
#include "terminal/screen_buffer.h"
#include "terminal/terminal_parser.h"

namespace kestrel {

inline constexpr int CIPHER_CHOICE_3DES = 3;
inline constexpr int CIPHER_CHOICE_BLOWFISH = 6;
inline constexpr int CIPHER_CHOICE_NONE = 0;

inline constexpr std::size_t HOST_NAME_SIZE = 80;
inline constexpr std::size_t PORT_TEXT_SIZE = 6;
inline constexpr std::size_t USER_NAME_SIZE = 20;
inline constexpr std::size_t PASSWORD_SIZE = 20;

inline constexpr wchar_t WINDOW_CLASS_NAME[] = L"Kestrel1";

// Private messages of MainWindow, all sent synchronously (the other four are
// in terminal/terminal_observer.h).
inline constexpr UINT MSG_SESSION_ENDED = WM_USER + 500;
inline constexpr UINT MSG_RELAYOUT = WM_USER + 501;

extern HINSTANCE Instance;
extern HWND MainWindow;
extern HWND MenuBar;  // null when the menu bar could not be made
extern wchar_t WindowClassName[16];
extern wchar_t WindowTitle[16];

extern int CipherChoice;
extern bool UseVt52;
// The setting (0 to 500); every layout hands it to the ScreenBuffer, so a
// change takes effect with the next MSG_RELAYOUT.
extern std::int32_t ScrollbackLines;
extern char HostName[HOST_NAME_SIZE];
extern char PortText[PORT_TEXT_SIZE];
extern char UserName[USER_NAME_SIZE];
extern char Password[PASSWORD_SIZE];
extern std::vector<std::wstring> DefaultServers;

// The plain transport of the open connection; non-null means connected.
extern Transport* CurrentConnection;
extern SessionState* CurrentSession;
extern bool ShuttingDown;

// The terminal area in pixels; the scroll bar stands to its right.
extern int TerminalWidth;
extern int TerminalHeight;
extern int TopOffset;

// The one terminal. The buffer outlives MainWindow: a worker that has not
// noticed the end yet may still feed it (it finds no storage).
ScreenBuffer& terminalScreen();
TerminalParser& terminalParser();

}  // namespace kestrel
