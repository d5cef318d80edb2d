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

// At exit a running worker is woken by closing its connection and given this
// long to report its end, so that its session is released in order. A worker
// that does not answer in time (a peer that keeps a half-closed connection
// open is no reason) is left to the process exit rather than hanging it.
inline constexpr DWORD EXIT_WORKER_WAIT_MS = 5000;

// The commands themselves are declared in session_commands.h. The connect
// runs on the worker, so the window stays responsive while the platform's
// connect runs, and Disconnect abandons a connect in progress. A session is
// released only when its worker has reported its end; at exit (ShuttingDown)
// Disconnect waits for that report, bounded by EXIT_WORKER_WAIT_MS.

// How the last session ended and whether the last connect failed; read by the
// driver to choose its exit code.
struct SessionOutcome {
    bool connectFailed = false;
    bool sessionRan = false;
    SessionEnd end = END_CONNECTION_LOST;
    int lostBoxes = 0;  // "Connection Lost" boxes shown in this run
};
const SessionOutcome& sessionOutcome();
// True from the Connect dialog's OK until the session's end is handled.
bool sessionActive();

} // namespace kestrel
