// From the "Connect" command to a running session and back: the worker that
// connects and runs the session, the menu states, Disconnect and the end of a
// session. Everything here runs on the user-interface thread except the
// worker, which reaches it only by synchronous messages.
#pragma once

#include <windows.h>

#include <cstdint>

#include "engine/protocol.h"

namespace kestrel {

// The worker's connect result, sent to the session relay window: wParam the
// open result (1 or -1), lParam the attempt. Answers SESSION_GO when the
// worker is to run the session it was handed, else SESSION_ABANDON.
inline constexpr UINT MSG_CONNECT_RESULT = WM_USER + 506;
inline constexpr LRESULT SESSION_ABANDON = 0;
inline constexpr LRESULT SESSION_GO = 1;

// A worker told to end (the user's Disconnect, or the program's exit) is
// given this long to report, so that its session is released in order before
// a new connection starts or the program ends. A worker that does not answer
// in time is not waited for further: a new connect is refused, and at exit
// the process ends without it rather than hanging.
inline constexpr DWORD WORKER_REPORT_WAIT_MS = 5000;

// The commands themselves are declared in session_commands.h. The connect
// runs on the worker, so the window stays responsive while the platform's
// connect runs, and Disconnect abandons a connect in progress. A session is
// released only when its worker has reported its end; at exit (ShuttingDown)
// Disconnect waits for that report, bounded by WORKER_REPORT_WAIT_MS.

// How the last session ended and whether the last connect failed; read by the
// driver to choose its exit code.
struct SessionOutcome {
    bool connectFailed = false;
    bool sessionRan = false;
    SessionEnd end = END_CONNECTION_LOST;
    int lostBoxes = 0;  // "Connection Lost" boxes shown in this run
    bool hostKeyRefused = false;  // the last session ended at its host key
};
const SessionOutcome& sessionOutcome();
// True from the Connect dialog's OK until the session's end is handled.
bool sessionActive();

} // namespace kestrel
