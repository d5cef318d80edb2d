// The driver against a scripted server in the same process (no cipher, so
// the script can read and write plain packets after the session key).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <atomic>
#include <thread>

#include "engine/protocol.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

class ScriptedServer {
public:
    explicit ScriptedServer(SocketHandle handle) : transport_(handle) {}

    void sendLine(const char* line) { transport_.stream().writeText(line); }
    bool readLine(std::string& line) { return transport_.stream().readLine(line); }

    void sendPublicKey(uint8_t type = MSG_SMSG_PUBLIC_KEY) {
        PacketBuffer message;
        message.beginPacket(type);
        message.append("COOKIE!!", 8);
        for (const test::RsaKeyPair* key : {&test::smallKey(), &test::largeKey()}) {
            message.putUint32(key->bits);
            message.putMpint(key->e);
            message.putMpint(key->n);
        }
        message.putUint32(2);
        message.putUint32(0x49);
        message.putUint32(4);
        transport_.writePacket(message);
    }

    // Runs the handshake up to the user name.
    void handshake() {
        std::string line;
        sendLine("SSH-1.5-scripted\n");
        EXPECT_TRUE(readLine(line));
        EXPECT_EQ(line, "SSH-1.5-KESTREL11.00.46\n");
        sendPublicKey();
        expect(MSG_CMSG_SESSION_KEY);
        EXPECT_EQ(last_.getByte(), 0); // the user chose no cipher
        send(MSG_SMSG_SUCCESS);
        expect(MSG_CMSG_USER);
        EXPECT_EQ(last_.getString(), "alice");
    }

    int read() { return transport_.readPacket(last_); }
    void expect(int type) { ASSERT_EQ(read(), type); }
    PacketBuffer& last() { return last_; }
    test::Bytes unread() { return test::Bytes(last_.cursor(), last_.cursor() + last_.remaining()); }

    void send(int type, const std::function<void(PacketBuffer&)>& fill = {}) {
        PacketBuffer message;
        message.beginPacket(uint8_t(type));
        if (fill)
            fill(message);
        transport_.writePacket(message);
    }
    void sendText(int type, const std::string& text) {
        send(type, [&](PacketBuffer& m) { m.putBytesString(text.data(), text.size()); });
    }
    void sendRaw(const std::vector<uint8_t>& bytes) { transport_.stream().sendBytes(bytes.data(), bytes.size()); }

private:
    Transport transport_;
    PacketBuffer last_;
};

// The handheld's host unless a test asks for a command session: then it
// names the request and records the output it takes.
class RecordingHost : public FixedSessionHost {
public:
    using FixedSessionHost::FixedSessionHost;
    SessionRequest request() const override { return request_; }
    std::string terminalType() const override { return type_.empty() ? FixedSessionHost::terminalType() : type_; }
    bool takeOutput(OutputStream which, const char* data, std::size_t length) override {
        if (!takes_)
            return false;
        (which == OutputStream::Stderr ? stderr_ : stdout_).append(data, length);
        return true;
    }
    void sessionStarted() override { started_ = true; }

    SessionRequest request_;
    std::string type_;
    bool takes_ = false;
    std::string stdout_, stderr_;
    std::atomic<bool> started_{false};
};

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::scratchFolder("protocol");
        host.trustAnyHostKey();
        state = new SessionState(std::make_unique<Transport>(pair.client), CIPHER_NONE, host);
        state->seedFileName = folder + "/seed";
    }
    void TearDown() override {
        if (worker.joinable())
            worker.join();
        EXPECT_TRUE(destroySession(state));
        std::filesystem::remove_all(folder);
    }
    void start() {
        worker = std::thread([this] { end = runSession(*state); });
    }
    SessionEnd finish() {
        worker.join();
        return end;
    }

    test::StatusRecorder status;
    test::SocketPair pair;
    RecordingHost host{"alice", "secret", true, {30, 100, 800, 600}};
    SessionState* state = nullptr;
    ScriptedServer server{pair.server};
    std::thread worker;
    SessionEnd end = END_MALFORMED;
    std::string folder;
};

TEST_F(ProtocolTest, SessionWithoutPasswordRequestsVt52AndShowsOutput) {
    sendStdinData(*state, "too early"); // no cipher transport yet: dropped
    start();
    server.handshake();
    server.send(MSG_SMSG_SUCCESS); // the user name alone is enough
    server.expect(MSG_CMSG_REQUEST_PTY);
    // "vt52", 30 rows, 100 columns, 800 x 600 pixels, no terminal modes.
    EXPECT_EQ(server.unread(), (test::Bytes{0, 0, 0, 4, 'v', 't', '5', '2', 0, 0, 0, 30, 0, 0, 0, 100, 0, 0, 3,
                                            0x20, 0, 0, 2, 0x58, 0}));
    server.send(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_EXEC_SHELL);
    server.sendText(MSG_SMSG_STDOUT_DATA, std::string("shown\0hidden", 12));
    server.sendText(MSG_SMSG_STDOUT_DATA, "");
    server.sendText(MSG_SMSG_STDERR_DATA, "err\n");
    server.send(MSG_SMSG_EXITSTATUS, [](PacketBuffer& m) { m.putUint32(0); });
    EXPECT_EQ(finish(), END_SERVER_EXIT);

    // Every line, in order: the user reads the session's progress from them.
    EXPECT_EQ(status.text(), "Server challenge received\n"
                             "Server public key received\n"
                             "Server public key validated\n"
                             "Getting host key bits\n"
                             "Getting host key E\n"
                             "Getting host key N\n"
                             "Getting flags/ciphers/auth\n"
                             "Computing session id\n"
                             "Session id computed\n"
                             "Opening seedfile\n"
                             "Creating session key\n"
                             "Encrypting key\n"
                             "Key encrypted\n"
                             "Attempting cipher type 'NONE'...\n"
                             "No cipher selected. Encryption disabled.\n"
                             "Sending cipher/key\n"
                             "Sent login username\n"
                             "Authorization successful.\n"
                             "PTTY Allocated\n"
                             "shownerr\n");
}

TEST_F(ProtocolTest, TypeAheadAndResizeWaitForTheShell) {
    start();
    server.handshake();
    sendStdinData(*state, "ls");
    // More type-ahead than the queue holds is dropped, not buffered without end.
    sendStdinData(*state, std::string(PENDING_INPUT_LIMIT, 'x').c_str());
    sendStdinData(*state, "\r");
    host.setGeometry({40, 120, 960, 800});
    sendWindowSize(*state);
    server.send(MSG_SMSG_FAILURE);
    server.expect(MSG_CMSG_AUTH_PASSWORD);
    EXPECT_EQ(server.last().getString(), "secret");
    server.send(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_REQUEST_PTY);
    server.send(MSG_SMSG_FAILURE);
    server.expect(MSG_CMSG_EXEC_SHELL);
    server.expect(MSG_CMSG_WINDOW_SIZE);
    EXPECT_EQ(server.unread(), (test::Bytes{0, 0, 0, 40, 0, 0, 0, 120, 0, 0, 3, 0xC0, 0, 0, 3, 0x20}));
    server.expect(MSG_CMSG_STDIN_DATA);
    EXPECT_EQ(server.last().getString(), "ls\r");
    // An empty text (an empty paste) is still one message.
    sendStdinData(*state, "");
    sendStdinData(*state, "x");
    server.expect(MSG_CMSG_STDIN_DATA);
    EXPECT_EQ(server.last().getString(), "");
    EXPECT_FALSE(server.last().failed());
    server.expect(MSG_CMSG_STDIN_DATA);
    EXPECT_EQ(server.last().getString(), "x");
    server.sendText(MSG_DISCONNECT, "bye\n");
    EXPECT_EQ(finish(), END_SERVER_DISCONNECT);
    EXPECT_TRUE(status.contains("Sent login password\nAuthorization successful.\n"
                                "Warning - PTTY not Allocated\nbye\n"));
}

// A command without a pty, as scripts use it: bytes exact both ways, zero
// bytes included, input split into packets, its end sent once, and the exit
// status confirmed after the output was handed over.
TEST_F(ProtocolTest, CommandSessionPassesBytesExactAndConfirmsTheExit) {
    host.request_ = {false, std::string("sha256sum -")};
    host.takes_ = true;
    EXPECT_FALSE(sendStdinBytes(*state, "x", 1)); // no cipher transport yet
    start();
    server.handshake();
    server.send(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_EXEC_CMD); // no pty request before it
    EXPECT_EQ(server.last().getString(), "sha256sum -");
    while (!host.started_.load()) // told right after the request went out
        std::this_thread::yield();

    std::string data(3 * STDIN_PACKET_DATA + 1696, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 % 251);
    ASSERT_TRUE(sendStdinBytes(*state, data.data(), data.size()));
    sendStdinEof(*state);
    sendStdinEof(*state);
    EXPECT_FALSE(sendStdinBytes(*state, "late", 4));
    std::string received;
    for (int packet = 0; packet < 4; ++packet) {
        server.expect(MSG_CMSG_STDIN_DATA);
        std::string piece = server.last().getString();
        EXPECT_LE(piece.size(), STDIN_PACKET_DATA);
        received += piece;
    }
    EXPECT_EQ(received, data);
    server.expect(MSG_CMSG_EOF);

    server.sendText(MSG_SMSG_STDOUT_DATA, std::string("out\0put", 7));
    server.sendText(MSG_SMSG_STDERR_DATA, std::string("\0err", 4));
    server.sendText(MSG_SMSG_STDOUT_DATA, "!");
    server.send(MSG_SMSG_EXITSTATUS, [](PacketBuffer& m) { m.putUint32(3); });
    EXPECT_EQ(finish(), END_SERVER_EXIT);
    server.expect(MSG_CMSG_EXIT_CONFIRMATION); // nothing sent after the EOF but this
    EXPECT_EQ(state->exitStatus, 3u);
    EXPECT_EQ(host.stdout_, std::string("out\0put!", 8));
    EXPECT_EQ(host.stderr_, std::string("\0err", 4));
    EXPECT_FALSE(status.contains("out")); // nothing of it in the terminal
}

TEST_F(ProtocolTest, InputAndItsEndGivenBeforeTheCommandFollowIt) {
    host.request_ = {true, std::string("tty")};
    host.type_ = "xterm-256color";
    start();
    server.handshake();
    ASSERT_TRUE(sendStdinBytes(*state, "ab\0c", 4));
    sendStdinEof(*state);
    EXPECT_FALSE(sendStdinBytes(*state, "d", 1));
    server.send(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_REQUEST_PTY);
    EXPECT_EQ(server.last().getString(), "xterm-256color");
    server.send(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_EXEC_CMD);
    server.expect(MSG_CMSG_STDIN_DATA);
    EXPECT_EQ(server.last().getString(), std::string("ab\0c", 4));
    server.expect(MSG_CMSG_EOF);
    server.sendText(MSG_DISCONNECT, std::string("Command terminated on signal 9.\0junk", 36));
    EXPECT_EQ(finish(), END_SERVER_DISCONNECT);
    EXPECT_EQ(state->disconnectReason, "Command terminated on signal 9.");
    EXPECT_FALSE(state->exitStatus.has_value());
}

TEST_F(ProtocolTest, LongDisconnectReasonIsCutToTheMessageBuffer) {
    start();
    server.handshake();
    server.sendText(MSG_DISCONNECT, std::string(600, 'r'));
    EXPECT_EQ(finish(), END_LOGIN_REFUSED);
    std::string expected = "Error during authorization!\nServer response: " + std::string(181, 'r') + "\n";
    EXPECT_TRUE(status.contains(expected));
    EXPECT_FALSE(status.contains(std::string(182, 'r')));
}

TEST_F(ProtocolTest, MalformedAndCorruptPacketsEndTheLoopWithAStatusLine) {
    start();
    server.handshake();
    server.send(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_REQUEST_PTY);
    server.send(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_EXEC_SHELL);
    server.send(MSG_SMSG_STDOUT_DATA, [](PacketBuffer& m) { m.putUint32(1000); m.append("abc", 3); });
    EXPECT_EQ(finish(), END_MALFORMED);
    EXPECT_TRUE(status.contains("ERROR - Malformed packet received\n"));
}

TEST_F(ProtocolTest, OnlyTheIdentificationPrefixAndTheFirstEncryptedReplyAreChecked) {
    start();
    std::string line;
    server.sendLine("SSH-2.0-newer\n"); // only "SSH-" is checked
    server.readLine(line);
    EXPECT_EQ(line, "SSH-1.5-KESTREL11.00.46\n");
    // The key message's type is not looked at: its fields are what count.
    server.sendPublicKey(MSG_SMSG_SUCCESS);
    server.expect(MSG_CMSG_SESSION_KEY);
    server.sendRaw({0, 0, 0, 5, 0, 0, 0, MSG_SMSG_SUCCESS, 1, 2, 3, 4}); // bad check
    EXPECT_EQ(finish(), END_CANNOT_DECRYPT);
    EXPECT_TRUE(status.contains("ERROR - CANNOT DECRYPT PACKET\n"));
}

TEST_F(ProtocolTest, PublicKeyMessageThatCannotBeReadEndsTheSession) {
    start();
    server.sendLine("SSH-1.5-scripted\n");
    std::string line;
    server.readLine(line);
    server.send(MSG_SMSG_PUBLIC_KEY, [](PacketBuffer& m) { m.append("COOKIE!!", 8); m.putUint32(768); });
    EXPECT_EQ(finish(), END_KEY_EXCHANGE);
    EXPECT_TRUE(status.contains("Server public key received\nERROR - Cannot read server public key\n"));
    EXPECT_FALSE(status.contains("validated"));
}

TEST_F(ProtocolTest, SessionIsNotDestroyedUnderItsWorker) {
    start();
    server.sendLine("SSH-1.5-scripted\n");
    // Once the challenge is taken the worker waits for the public-key message.
    while (!status.contains("Server challenge received\n"))
        std::this_thread::yield();
    EXPECT_TRUE(state->workerRunning.load());
    EXPECT_FALSE(destroySession(state));
    interruptSession(*state);
    EXPECT_EQ(finish(), END_KEY_EXCHANGE);
}

TEST(SessionTeardownTest, DestroyClosesTheSharedConnectionOnce) {
    FixedSessionHost host{"alice", "secret", false, {24, 80, 0, 0}};
    // Without a cipher transport (the key exchange never finished), and with
    // both transports on one handle: the peer sees the end either way.
    for (bool keyed : {false, true}) {
        test::SocketPair pair;
        auto* state = new SessionState(std::make_unique<Transport>(pair.client), CIPHER_NONE, host);
        if (keyed)
            state->cipherTransport = std::make_unique<NullCipherTransport>(*state->plainTransport, state->contexts);
        ASSERT_TRUE(destroySession(state));
        char byte;
        EXPECT_EQ(SocketStream(pair.server).receiveExactly(&byte, 1), -1) << keyed;
        pair.client = SOCKET_CLOSED; // already closed by the session
    }
}

} // namespace
} // namespace kestrel
