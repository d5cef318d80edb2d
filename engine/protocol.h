// The client side of one protocol 1.5 session, run on a worker thread, and
// the two sends the user-interface thread makes while it runs.
#pragma once
#include <cstddef>

#include "engine/session.h"

namespace kestrel {

constexpr const char* CLIENT_IDENTIFICATION = "SSH-1.5-KESTREL11.00.46\n";
// "Server response: " + reason + "\n" fits this many bytes with its terminator.
constexpr std::size_t DISCONNECT_MESSAGE_SIZE = 200;
// Input per standard-input packet: large enough that the per-packet cost
// vanishes in a bulk upload, far below the 256 KiB packet ceiling so every
// server takes it.
constexpr std::size_t STDIN_PACKET_DATA = 32 * 1024;

enum SessionEnd {
    END_SERVER_EXIT,        // exit status received
    END_SERVER_DISCONNECT,  // disconnect in the interactive loop
    END_CONNECTION_LOST,    // connection ended in the interactive loop
    END_BAD_CHALLENGE,      // no identification line
    END_KEY_EXCHANGE,       // public-key message unreadable or keys unusable
    END_CANNOT_DECRYPT,     // first encrypted packet not a success, or a corrupt packet
    END_LOGIN_REFUSED,      // disconnect after the user name or password refused
    END_MALFORMED,          // a message too short for its fields
    END_INSERTION_ATTACK,   // a packet spliced by the CRC-32 compensation attack
    END_DECOMPRESSION,      // a compressed packet that does not inflate, or inflates too far
};

// Runs the session to its end. Returns how it ended (the status lines have
// already told the user).
SessionEnd runSession(SessionState& state);

// Typed or pasted text, up to its first zero byte. Before the key exchange
// ends nothing is sent; between the key exchange and the shell start the text
// waits and goes out right after the shell request.
void sendStdinData(SessionState& state, const char* text);
// An ignore message with `length` random bytes, once the shell runs.
void sendIgnore(SessionState& state, std::size_t length);
// Bytes exactly as given, zero bytes included, in packets of at most
// STDIN_PACKET_DATA bytes; blocks while the connection takes no more. Before
// the shell start they wait like typed text, within PENDING_INPUT_LIMIT.
// False when they could not go: no cipher transport yet, the wait full, the
// end of input already sent, or the connection failed.
bool sendStdinBytes(SessionState& state, const char* data, std::size_t length);
// The end of standard input (once; later input is refused). Before the shell
// start it goes out right after the waiting input.
void sendStdinEof(SessionState& state);
// The host's current geometry; before the shell start it is sent right after
// the shell request.
void sendWindowSize(SessionState& state);

// One channel packet, once the shell runs; blocks while the connection
// takes no more. False before the shell, or when the connection failed.
bool sendChannelPacket(SessionState& state, PacketBuffer& buffer);

// For the login steps kept in files of their own: a read that failed its
// checks gets its status line and the end it means (true); any other
// result is left to the caller (false).
bool endOnBadRead(int type, SessionEnd& end);
// "Server response: " and a disconnect message's reason, bounded as above.
void showServerReason(SessionState& state, PacketBuffer& buffer);

} // namespace kestrel
