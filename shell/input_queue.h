// Bytes typed, pasted or answered on their way to the session. The protocol
// refuses a packet over 256 KiB and a large paste sent in one piece would
// block the user-interface thread in the socket while the worker waits for it
// to handle a notification; so input goes out in chunks, each only while the
// socket takes more, in order, and waits here (not in the engine's small
// queue) while the session is still starting.
#pragma once

#include <windows.h>

#include <cstddef>

#include "engine/protocol.h"

namespace kestrel {

// One standard-input message: far below the protocol's packet ceiling.
inline constexpr std::size_t INPUT_CHUNK_BYTES = 4096;
// At most this much goes out per turn of the message loop, so the window
// keeps responding during a large paste.
inline constexpr std::size_t INPUT_TURN_BYTES = 256 * 1024;
// A clipboard larger than this is refused whole (with a beep) rather than
// holding the program's memory hostage or being cut.
inline constexpr std::size_t MAX_QUEUED_INPUT = 16 * 1024 * 1024;

inline constexpr UINT_PTR TIMER_INPUT = 67;
inline constexpr UINT INPUT_RETRY_MS = 20;
// Ticks the keystroke clock while keys or chaff are scheduled.
inline constexpr UINT_PTR TIMER_KEYSTROKES = 68;

// Drops the text when not connected; false when it was not queued.
bool queueInput(const char* bytes, std::size_t length);
// Sends what the session takes now; re-arms the retry timer for the rest.
void drainInput();
std::size_t queuedInputBytes();
void discardQueuedInput();

// Typed keys of this session go out on the keystroke clock (with chaff in
// between) when enabled; until then, and for other input, at once.
void startKeystrokeTiming(SessionState& session, bool enabled);
// TIMER_KEYSTROKES.
void keystrokeTick();
// Before the session is released; with the advice line when the server
// went away right after chaff.
void endKeystrokeTiming(SessionEnd end, const SessionHost& host);

}  // namespace kestrel
