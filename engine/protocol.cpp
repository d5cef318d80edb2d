#include "engine/protocol.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "crypto/secure_zero.h"
#include "engine/key_exchange.h"
#include "engine/printable_text.h"
#include "engine/rsa_auth.h"
#include "engine/status_log.h"
#include "engine/wire_hiding.h"

namespace kestrel {

namespace {

constexpr const char* TEXT_CANNOT_DECRYPT = "ERROR - CANNOT DECRYPT PACKET\n";
constexpr const char* TEXT_INSERTION_ATTACK =
    "ERROR - Corrupted packet (insertion attack) detected\n";
constexpr const char* TEXT_MALFORMED = "ERROR - Malformed packet received\n";
constexpr const char* TEXT_SERVER_RESPONSE = "Server response: ";
constexpr const char* TEXT_DECOMPRESSION_FAILED = "ERROR - Corrupt compressed packet received\n";
constexpr const char* TEXT_DECOMPRESSION_OVERSIZED =
    "ERROR - Compressed packet expands beyond 262144 bytes\n";
static_assert(DECOMPRESSED_PACKET_LIMIT == 262144, "the error text names the limit");

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

// Data longer than one packet takes goes out in several, in order.
bool writeStdin(CipherTransport& transport, const char* text, std::size_t length) {
    PacketBuffer buffer;
    bool sent = true;
    do {
        std::size_t piece = std::min(length, STDIN_PACKET_DATA);
        buffer.beginPacket(MSG_CMSG_STDIN_DATA);
        buffer.putBytesString(text, piece);
        sent = transport.writePacket(buffer) == 0;
        buffer.wipe();
        text += piece;
        length -= piece;
    } while (sent && length > 0);
    return sent;
}

void writeEmpty(CipherTransport& transport, int type) {
    PacketBuffer buffer;
    buffer.beginPacket(uint8_t(type));
    transport.writePacket(buffer);
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
    else if (type == READ_DECOMPRESSION_FAILED)
        logStatus(TEXT_DECOMPRESSION_FAILED);
    else if (type == READ_DECOMPRESSION_OVERSIZED)
        logStatus(TEXT_DECOMPRESSION_OVERSIZED);
    else if (type == READ_CORRUPT)
        logStatus(TEXT_CANNOT_DECRYPT);
    else
        return false;
    return true;
}

SessionEnd badReadEnd(int type) {
    if (type == READ_DECOMPRESSION_FAILED || type == READ_DECOMPRESSION_OVERSIZED)
        return END_DECOMPRESSION;
    return type == READ_INSERTION_ATTACK ? END_INSERTION_ATTACK : END_CANNOT_DECRYPT;
}

void showDisconnectReason(SessionState& state, PacketBuffer& buffer) {
    std::string reason = buffer.getString();
    std::string_view text(reason.c_str(), std::strlen(reason.c_str()));
    std::size_t room = DISCONNECT_MESSAGE_SIZE - 1 - std::strlen(TEXT_SERVER_RESPONSE) - 1;
    if (text.size() > room)
        text = text.substr(0, room);
    state.disconnectReason.assign(text);
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
        showDisconnectReason(state, buffer);
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

void sendPassword(SessionState& state, PasswordCamouflage camouflage) {
    std::string password = state.host.password();
    {
        std::lock_guard<std::mutex> hold(state.sendLock);
        sendPasswordMessage(*state.cipherTransport, state.pool, password, camouflage);
    }
    secureZero(password.data(), password.size());
}

// A server that cannot take what hides the password's length fails in one
// of two ways; the user is told which setting works around it.
void adviseOnRefusal(SessionState& state, PasswordCamouflage camouflage, int answer) {
    std::string setting = state.host.settingName(SETTING_PASSWORD_CAMOUFLAGE);
    bool closed = answer == MSG_DISCONNECT || answer == READ_CONNECTION_LOST;
    if (camouflage == PasswordCamouflage::IgnoreMessages && closed)
        logStatus("The server closed the connection on the ignore messages that hide the password's "
                  "length. Set " + setting + " to pad (or none) for this server.\n");
    else if (camouflage == PasswordCamouflage::ZeroPadding && answer == MSG_SMSG_FAILURE)
        logStatus("If the password is right, the server counts the zero bytes that hide its length. "
                  "Set " + setting + " to ignore (or none) for this server.\n");
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
        showDisconnectReason(state, buffer);
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
        PasswordCamouflage camouflage = state.host.passwordCamouflage();
        sendPassword(state, camouflage);
        logStatus("Sent login password\n");
        int answer = cipher.readPacket(buffer);
        if (answer == READ_INSERTION_ATTACK) {
            logStatus(TEXT_INSERTION_ATTACK);
            return END_INSERTION_ATTACK;
        }
        if (answer != MSG_SMSG_SUCCESS) {
            if (answer == MSG_DISCONNECT)
                showDisconnectReason(state, buffer);
            logStatus("Authorization error. Check username and password.\n");
            adviseOnRefusal(state, camouflage, answer);
            return END_LOGIN_REFUSED;
        }
    }
    logStatus("Authorization successful.\n");
    return END_SERVER_EXIT;
}

// Compression starts in both directions right after the server's success;
// a server that refuses (or cannot) leaves the session as it was.
SessionEnd requestCompression(SessionState& state, PacketBuffer& buffer) {
    int level = state.host.compressionLevel();
    if (level == 0)
        return END_SERVER_EXIT;
    buffer.beginPacket(MSG_CMSG_REQUEST_COMPRESSION);
    buffer.putUint32(uint32_t(level));
    sendPacket(state, *state.cipherTransport, buffer);
    int reply = state.cipherTransport->readPacket(buffer);
    if (reportBadRead(reply))
        return badReadEnd(reply);
    if (reply != MSG_SMSG_SUCCESS) {
        logStatus("Warning - Server refused compression\n");
        return END_SERVER_EXIT;
    }
    auto compression = std::make_unique<PacketCompression>(level);
    if (!compression->ready()) {
        // Too late to go back: the server compresses from here on.
        logStatus(TEXT_DECOMPRESSION_FAILED);
        return END_DECOMPRESSION;
    }
    std::lock_guard<std::mutex> hold(state.sendLock);
    state.cipherTransport->startCompression(std::move(compression));
    logStatus("Compression enabled\n");
    return END_SERVER_EXIT;
}

// A refused pty is only a warning; a reply that fails its check is not a
// refusal but a broken stream, and ends the session.
SessionEnd requestTerminal(SessionState& state, PacketBuffer& buffer) {
    TerminalGeometry size = state.host.geometry();
    buffer.beginPacket(MSG_CMSG_REQUEST_PTY);
    buffer.putString(state.host.terminalType().c_str());
    putWindowSize(buffer, size);
    buffer.putByte(0); // end of the terminal-mode list
    sendPacket(state, *state.cipherTransport, buffer);
    int reply = state.cipherTransport->readPacket(buffer);
    if (reportBadRead(reply))
        return badReadEnd(reply);
    logStatus(reply == MSG_SMSG_SUCCESS ? "PTTY Allocated\n" : "Warning - PTTY not Allocated\n");
    return END_SERVER_EXIT;
}

// A refused forwarding is a warning: the session is still worth having.
SessionEnd requestRemoteForwards(SessionState& state, PacketBuffer& buffer) {
    for (const RemoteForward& forward : state.host.remoteForwards()) {
        buffer.beginPacket(MSG_CMSG_PORT_FORWARD_REQUEST);
        buffer.putUint32(forward.serverPort);
        buffer.putBytesString(forward.host.data(), forward.host.size());
        buffer.putUint32(forward.hostPort);
        sendPacket(state, *state.cipherTransport, buffer);
        int reply = state.cipherTransport->readPacket(buffer);
        if (reportBadRead(reply))
            return badReadEnd(reply);
        if (reply != MSG_SMSG_SUCCESS)
            logStatus("Warning - Server refused remote forwarding of port " + std::to_string(forward.serverPort) +
                      "\n");
    }
    return END_SERVER_EXIT;
}

// A port open nobody takes is refused, so the server does not keep its end
// waiting.
bool dispatchChannelMessage(SessionState& state, int type, PacketBuffer& buffer) {
    ChannelMessage message;
    if (!readChannelMessage(type, buffer, message))
        return false;
    if (!state.host.takeChannelMessage(message) && type == MSG_PORT_OPEN) {
        // Nothing here asked for it: a server reaching into the client's
        // network is worth a line, not just a refusal.
        logStatus("Warning - Server opened a connection to " + printable(message.host) + ":" +
                  std::to_string(message.port) + ", which was not forwarded; refused\r\n");
        putChannelNumber(buffer, MSG_CHANNEL_OPEN_FAILURE, message.channel);
        sendPacket(state, *state.cipherTransport, buffer);
    }
    return true;
}

// The shell or command request and whatever the user typed while the
// handshake ran, under one hold of the lock so nothing slips in between.
void startShell(SessionState& state, PacketBuffer& buffer, const SessionRequest& request) {
    std::unique_lock<std::mutex> hold(state.sendLock);
    CipherTransport& cipher = *state.cipherTransport;
    if (request.command) {
        buffer.beginPacket(MSG_CMSG_EXEC_CMD);
        buffer.putBytesString(request.command->data(), request.command->size());
    } else {
        buffer.beginPacket(MSG_CMSG_EXEC_SHELL);
    }
    cipher.writePacket(buffer);
    if (state.windowSizePending)
        writeWindowSize(cipher, state.host.geometry());
    if (!state.pendingInput.empty()) {
        writeStdin(cipher, state.pendingInput.data(), state.pendingInput.size());
        secureZero(state.pendingInput.data(), state.pendingInput.size());
        state.pendingInput.clear();
    }
    if (state.inputEnded)
        writeEmpty(cipher, MSG_CMSG_EOF);
    state.windowSizePending = false;
    state.shellStarted = true;
    hold.unlock();
    state.host.sessionStarted();
}

// Output the host does not take is shown as the terminal takes text.
void deliverOutput(SessionState& state, int type, std::string_view data) {
    OutputStream which = type == MSG_SMSG_STDERR_DATA ? OutputStream::Stderr : OutputStream::Stdout;
    if (!state.host.takeOutput(which, data.data(), data.size()))
        showText(data);
}

// Every output packet before the exit status has been delivered, so the
// confirmation tells the server that the output arrived.
SessionEnd takeExitStatus(SessionState& state, PacketBuffer& buffer) {
    uint32_t status = buffer.getUint32();
    if (!buffer.failed())
        state.exitStatus = status;
    flushStatus();
    std::lock_guard<std::mutex> hold(state.sendLock);
    writeEmpty(*state.cipherTransport, MSG_CMSG_EXIT_CONFIRMATION);
    return END_SERVER_EXIT;
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
            if (type == MSG_DISCONNECT) {
                state.disconnectReason.assign(text.substr(0, text.find('\0')).substr(0, DISCONNECT_MESSAGE_SIZE));
                showText(text);
                return END_SERVER_DISCONNECT;
            }
            deliverOutput(state, type, text);
        }
        if (isChannelMessage(type) && !dispatchChannelMessage(state, type, buffer)) {
            logStatus(TEXT_MALFORMED);
            return END_MALFORMED;
        }
        if (type == MSG_SMSG_EXITSTATUS)
            return takeExitStatus(state, buffer);
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
    end = requestCompression(state, buffer);
    if (end != END_SERVER_EXIT)
        return end;
    SessionRequest request = state.host.request();
    if (request.terminal) {
        end = requestTerminal(state, buffer);
        if (end != END_SERVER_EXIT)
            return end;
    }
    end = requestRemoteForwards(state, buffer);
    if (end != END_SERVER_EXIT)
        return end;
    startShell(state, buffer, request);
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

void sendStdinData(SessionState& state, const char* text) { sendStdinBytes(state, text, std::strlen(text)); }

bool sendStdinBytes(SessionState& state, const char* data, std::size_t length) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    if (!state.cipherTransport || state.inputEnded)
        return false;
    if (!state.shellStarted) {
        // The server takes no data before the shell; dropping it would lose
        // type-ahead, so it waits (within bounds).
        if (state.pendingInput.size() + length > PENDING_INPUT_LIMIT)
            return false;
        state.pendingInput.append(data, length);
        return true;
    }
    return writeStdin(*state.cipherTransport, data, length);
}

void sendStdinEof(SessionState& state) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    if (!state.cipherTransport || state.inputEnded)
        return;
    state.inputEnded = true;
    if (state.shellStarted)
        writeEmpty(*state.cipherTransport, MSG_CMSG_EOF);
}

void sendIgnore(SessionState& state, std::size_t length) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    if (state.cipherTransport && state.shellStarted)
        sendIgnoreMessage(*state.cipherTransport, state.pool, length);
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

bool sendChannelPacket(SessionState& state, PacketBuffer& buffer) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    if (!state.cipherTransport || !state.shellStarted)
        return false;
    return state.cipherTransport->writePacket(buffer) == 0;
}

bool endOnBadRead(int type, SessionEnd& end) {
    if (!reportBadRead(type))
        return false;
    end = badReadEnd(type);
    return true;
}

void showServerReason(SessionState& state, PacketBuffer& buffer) { showDisconnectReason(state, buffer); }

} // namespace kestrel
