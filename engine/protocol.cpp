#include "engine/protocol.h"

#include <cstring>
#include <string>

#include "crypto/secure_zero.h"
#include "engine/key_exchange.h"
#include "engine/rsa_auth.h"
#include "engine/status_log.h"

namespace kestrel {

namespace {

constexpr const char* TEXT_CANNOT_DECRYPT = "ERROR - CANNOT DECRYPT PACKET\n";
constexpr const char* TEXT_INSERTION_ATTACK =
    "ERROR - Corrupted packet (insertion attack) detected\n";
constexpr const char* TEXT_MALFORMED = "ERROR - Malformed packet received\n";
constexpr const char* TEXT_SERVER_RESPONSE = "Server response: ";

// Marks the worker's run so the record is never freed under it.
struct RunningMark {
    explicit RunningMark(SessionState& s) : state(s) { state.workerRunning.store(true); }
    ~RunningMark() { state.workerRunning.store(false); }
    SessionState& state;
};

// Shows a server string up to its first zero byte, as the terminal takes
// zero-terminated text.
void showText(std::string_view text) { logStatus(text.substr(0, text.find('\0'))); }

void putWindowSize(PacketBuffer& buffer, const TerminalGeometry& size) {
    buffer.putUint32(size.rows);
    buffer.putUint32(size.columns);
    buffer.putUint32(size.widthPixels);
    buffer.putUint32(size.heightPixels);
}

void writeStdin(CipherTransport& transport, const char* text, std::size_t length) {
    PacketBuffer buffer;
    buffer.beginPacket(MSG_CMSG_STDIN_DATA);
    buffer.putBytesString(text, length);
    transport.writePacket(buffer);
    buffer.wipe();
}

void writeWindowSize(CipherTransport& transport, const TerminalGeometry& size) {
    PacketBuffer buffer;
    buffer.beginPacket(MSG_CMSG_WINDOW_SIZE);
    putWindowSize(buffer, size);
    transport.writePacket(buffer);
}

// A read that failed its checks gets the line that says which; false for
// any other result.
bool reportBadRead(int type) {
    if (type == READ_INSERTION_ATTACK)
        logStatus(TEXT_INSERTION_ATTACK);
    else if (type == READ_CORRUPT)
        logStatus(TEXT_CANNOT_DECRYPT);
    else
        return false;
    return true;
}

SessionEnd badReadEnd(int type) {
    return type == READ_INSERTION_ATTACK ? END_INSERTION_ATTACK : END_CANNOT_DECRYPT;
}

void showDisconnectReason(PacketBuffer& buffer) {
    std::string reason = buffer.getString();
    std::string_view text(reason.c_str(), std::strlen(reason.c_str()));
    std::size_t room = DISCONNECT_MESSAGE_SIZE - 1 - std::strlen(TEXT_SERVER_RESPONSE) - 1;
    if (text.size() > room)
        text = text.substr(0, room);
    std::string line = TEXT_SERVER_RESPONSE;
    line.append(text);
    line.push_back('\n');
    logStatus(line);
}

bool readIdentification(SessionState& state) {
    std::string line;
    flushStatus();
    bool whole = state.plainTransport->stream().readLine(line);
    if (!whole || line.compare(0, 4, "SSH-") != 0) {
        logStatus("ERROR - Unrecognized SSH challenge\n");
        return false;
    }
    logStatus("Server challenge received\n");
    std::lock_guard<std::mutex> hold(state.sendLock);
    state.plainTransport->stream().writeText(CLIENT_IDENTIFICATION);
    return true;
}

SessionEnd exchangeKeys(SessionState& state, PacketBuffer& buffer) {
    // Whatever the type, the packet is parsed as the public-key message; only
    // a packet that could not be read at all ends the session here.
    int type = state.plainTransport->readPacket(buffer);
    if (type < 0) {
        logStatus("ERROR - Cannot read server public key\n");
        return END_KEY_EXCHANGE;
    }
    logStatus("Server public key received\n");
    state.serverKey = readServerKey(state, buffer);
    if (!state.serverKey) {
        logStatus(buffer.failed() ? "ERROR - Cannot read server public key\n"
                                  : "ERROR - Server public key rejected\n");
        return END_KEY_EXCHANGE;
    }
    logStatus("Server public key validated\n");
    bool done = completeKeyExchange(state, buffer, *state.serverKey);
    state.serverKey.reset();
    return done ? END_SERVER_EXIT : END_KEY_EXCHANGE;
}

// A server that does not take the session key or the cipher says why in
// clear; that is its answer, not a packet that failed to decrypt.
SessionEnd confirmKey(SessionState& state, PacketBuffer& buffer) {
    int first = state.cipherTransport->readKeyConfirmation(buffer);
    if (first == MSG_DISCONNECT) {
        showDisconnectReason(buffer);
        return END_KEY_EXCHANGE;
    }
    if (first == READ_INSERTION_ATTACK) {
        logStatus(TEXT_INSERTION_ATTACK);
        return END_INSERTION_ATTACK;
    }
    if (first != MSG_SMSG_SUCCESS) {
        logStatus(TEXT_CANNOT_DECRYPT);
        return END_CANNOT_DECRYPT;
    }
    return END_SERVER_EXIT;
}

SessionEnd authenticate(SessionState& state, PacketBuffer& buffer) {
    CipherTransport& cipher = *state.cipherTransport;
    buffer.beginPacket(MSG_CMSG_USER);
    buffer.putString(state.host.userName().c_str());
    sendPacket(state, cipher, buffer);
    logStatus("Sent login username\n");
    int reply = cipher.readPacket(buffer);
    if (reportBadRead(reply))
        return badReadEnd(reply);
    if (reply == MSG_DISCONNECT) {
        logStatus("Error during authorization!\n");
        showDisconnectReason(buffer);
        return END_LOGIN_REFUSED;
    }
    if (reply != MSG_SMSG_SUCCESS) {
        SessionEnd end = END_SERVER_EXIT;
        RsaLogin rsa = authenticateWithIdentities(state, buffer, end);
        if (rsa == RsaLogin::Ended)
            return end;
        if (rsa == RsaLogin::Accepted)
            reply = MSG_SMSG_SUCCESS;
    }
    if (reply != MSG_SMSG_SUCCESS) {
        std::string password = state.host.password();
        buffer.beginPacket(MSG_CMSG_AUTH_PASSWORD);
        buffer.putBytesString(password.data(), password.size());
        secureZero(password.data(), password.size());
        sendPacket(state, cipher, buffer);
        buffer.wipe();
        logStatus("Sent login password\n");
        int answer = cipher.readPacket(buffer);
        if (answer == READ_INSERTION_ATTACK) {
            logStatus(TEXT_INSERTION_ATTACK);
            return END_INSERTION_ATTACK;
        }
        if (answer != MSG_SMSG_SUCCESS) {
            logStatus("Authorization error. Check username and password.\n");
            return END_LOGIN_REFUSED;
        }
    }
    logStatus("Authorization successful.\n");
    return END_SERVER_EXIT;
}

// A refused pty is only a warning; a reply that fails its check is not a
// refusal but a broken stream, and ends the session.
SessionEnd requestTerminal(SessionState& state, PacketBuffer& buffer) {
    TerminalGeometry size = state.host.geometry();
    buffer.beginPacket(MSG_CMSG_REQUEST_PTY);
    buffer.putString(state.host.useVt52() ? "vt52" : "vt100");
    putWindowSize(buffer, size);
    buffer.putByte(0); // end of the terminal-mode list
    sendPacket(state, *state.cipherTransport, buffer);
    int reply = state.cipherTransport->readPacket(buffer);
    if (reportBadRead(reply))
        return badReadEnd(reply);
    logStatus(reply == MSG_SMSG_SUCCESS ? "PTTY Allocated\n" : "Warning - PTTY not Allocated\n");
    return END_SERVER_EXIT;
}

// The shell request and whatever the user typed while the handshake ran,
// under one hold of the lock so nothing slips in between.
void startShell(SessionState& state, PacketBuffer& buffer) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    CipherTransport& cipher = *state.cipherTransport;
    buffer.beginPacket(MSG_CMSG_EXEC_SHELL);
    cipher.writePacket(buffer);
    if (state.windowSizePending)
        writeWindowSize(cipher, state.host.geometry());
    if (!state.pendingInput.empty()) {
        writeStdin(cipher, state.pendingInput.data(), state.pendingInput.size());
        secureZero(state.pendingInput.data(), state.pendingInput.size());
        state.pendingInput.clear();
    }
    state.windowSizePending = false;
    state.shellStarted = true;
}

SessionEnd interact(SessionState& state, PacketBuffer& buffer) {
    for (;;) {
        int type = state.cipherTransport->readPacket(buffer);
        if (type == READ_CONNECTION_LOST)
            return END_CONNECTION_LOST;
        if (reportBadRead(type))
            return badReadEnd(type);
        if (type == MSG_DISCONNECT || type == MSG_SMSG_STDOUT_DATA || type == MSG_SMSG_STDERR_DATA) {
            std::string_view text = buffer.getStringView();
            if (buffer.failed()) {
                logStatus(TEXT_MALFORMED);
                return END_MALFORMED;
            }
            showText(text);
        }
        if (type == MSG_DISCONNECT)
            return END_SERVER_DISCONNECT;
        if (type == MSG_SMSG_EXITSTATUS) {
            uint32_t status = buffer.getUint32();
            if (!buffer.failed())
                state.exitStatus = status;
            return END_SERVER_EXIT;
        }
    }
}

SessionEnd runSteps(SessionState& state, PacketBuffer& buffer) {
    state.cipherType = 0;
    if (!readIdentification(state))
        return END_BAD_CHALLENGE;
    SessionEnd end = exchangeKeys(state, buffer);
    if (end != END_SERVER_EXIT)
        return end;
    end = confirmKey(state, buffer);
    if (end != END_SERVER_EXIT)
        return end;
    end = authenticate(state, buffer);
    if (end != END_SERVER_EXIT)
        return end;
    end = requestTerminal(state, buffer);
    if (end != END_SERVER_EXIT)
        return end;
    startShell(state, buffer);
    return interact(state, buffer);
}

} // namespace

SessionEnd runSession(SessionState& state) {
    RunningMark running(state);
    PacketBuffer buffer;
    SessionEnd end = runSteps(state, buffer);
    flushStatus();
    buffer.wipe();
    return end;
}

void sendStdinData(SessionState& state, const char* text) {
    std::size_t length = std::strlen(text);
    std::lock_guard<std::mutex> hold(state.sendLock);
    if (!state.cipherTransport)
        return;
    if (!state.shellStarted) {
        // The server takes no data before the shell; dropping it would lose
        // type-ahead, so it waits (within bounds).
        if (state.pendingInput.size() + length <= PENDING_INPUT_LIMIT)
            state.pendingInput.append(text, length);
        return;
    }
    writeStdin(*state.cipherTransport, text, length);
}

void sendWindowSize(SessionState& state) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    if (!state.cipherTransport)
        return;
    if (!state.shellStarted) {
        state.windowSizePending = true;
        return;
    }
    writeWindowSize(*state.cipherTransport, state.host.geometry());
}

bool endOnBadRead(int type, SessionEnd& end) {
    if (!reportBadRead(type))
        return false;
    end = badReadEnd(type);
    return true;
}

void showServerReason(PacketBuffer& buffer) { showDisconnectReason(buffer); }

} // namespace kestrel
