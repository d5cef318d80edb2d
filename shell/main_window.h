// MainWindow: the program entry, the start-up, the window procedure and the
// command dispatch.
#pragma once

#include <windows.h>

namespace kestrel {

// The whole program: common controls, class, set-up, message loop, sockets.
int programEntry(HINSTANCE instance, HINSTANCE previous, int show);

bool registerWindowClass(HINSTANCE instance);
// Creates MainWindow and everything it needs; false when another copy runs
// (it is brought forward) or the window cannot be made.
bool instanceSetup(HINSTANCE instance, int show);
LRESULT CALLBACK mainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Hands a queued message to the active modeless dialog's keyboard handling
// (Enter for OK, Escape, Tab between fields); true when the dialog took it.
bool routeToModelessDialog(MSG& message);

void dispatchCommand(UINT command);
void showAboutDialog();
void startHelpViewer();
// Centres a dialog over MainWindow, keeping its size.
void centreDialog(HWND dialog);

inline constexpr char BANNER_LINE_1[] = "Kestrel1 v1.00.46 Initialized.\r\n";
inline constexpr char BANNER_LINE_2[] = "Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.\n";
inline constexpr char BANNER_LINE_3[] = "SSH Version 1.5 protocol only.\n";

inline constexpr wchar_t HELP_VIEWER[] = L"peghelp.exe";
inline constexpr wchar_t HELP_FILE_ARGUMENT[] = L"file:\\WINDOWS\\kestrel1.htc";

}  // namespace kestrel
