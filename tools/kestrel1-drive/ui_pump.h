// Working the program from its own user-interface thread: bounded waits that
// keep every window (dialogs and message boxes included) served, and a
// responder that answers the dialogs and boxes the program opens.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

namespace kestrel::drive {

using Clock = std::chrono::steady_clock;

// Dispatches this thread's messages until done() holds (true), the deadline
// passes or the quit message arrives (false; the quit is remembered).
bool pumpUntil(const std::function<bool()>& done, Clock::time_point deadline);
bool quitSeen();

// A top-level dialog or box of this thread with that caption, or null.
HWND findDialog(const wchar_t* caption);

// Called with every dialog or box of this thread, about every 20 ms, from
// whichever message loop runs (the modal ones included). Return true when
// the window was answered. Only one responder is active at a time.
using Responder = std::function<bool(HWND dialog, const std::wstring& caption)>;
void startResponder(Responder responder);
void stopResponder();

// A window as the screen shows it (frame and controls), into a BMP file.
// Needs a display driver that keeps the screen (the X11 one under Xvfb).
bool saveWindowPicture(HWND window, const std::string& path);

// Saves the bitmap as a 24-bit BMP file; false when it cannot be written.
bool saveBitmap(HDC dc, HBITMAP bitmap, const std::string& path);

} // namespace kestrel::drive
