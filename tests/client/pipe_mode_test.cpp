// kestrel1's command line for remote commands and the choices made from it:
// which session, whether a pty is asked for, what reaches stderr.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "crypto/cipher_context.h"
#include "posix/client_options.h"
#include "posix/pipe_client.h"

namespace kestrel::client {
namespace {

struct Parsed {
    ParseResult result;
    ClientOptions options;
    std::string message;
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "kestrel1");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    Parsed parsed;
    parsed.result = parseCommandLine(int(argv.size()), argv.data(), ClientSettings{}, parsed.options, parsed.message);
    return parsed;
}

TEST(ClientCommandLine, EverythingAfterTheDestinationIsTheCommand) {
    struct Case {
        std::vector<std::string> words;
        std::optional<std::string> command;
    };
    const Case cases[] = {
        {{"host"}, std::nullopt},
        {{"host", "ls", "-l", "/tmp"}, "ls -l /tmp"},
        // Options of the command are not ours, even ones kestrel1 knows.
        {{"-p", "2222", "host", "sh", "-c", "echo -t -v"}, "sh -c echo -t -v"},
        {{"host", "--", "-x"}, "-x"},
        {{"host", "-t", "tty"}, "tty"}, // an option straight after the destination is still ours
    };
    for (const Case& c : cases) {
        Parsed parsed = parse(c.words);
        ASSERT_EQ(parsed.result, ParseResult::Run) << parsed.message;
        EXPECT_EQ(parsed.options.command, c.command) << c.words.size();
        EXPECT_FALSE(parsed.options.verbose);
    }
    EXPECT_TRUE(parse({"host", "-t", "tty"}).options.forceTerminal);
    EXPECT_EQ(parse({"-c", "des", "host"}).options.cipher, CIPHER_DES);
    EXPECT_EQ(parse({"-t", "-T", "host"}).result, ParseResult::Error);
    EXPECT_EQ(parse({"-c", "rc4", "host"}).result, ParseResult::Error);
    Parsed flags = parse({"-v", "-q", "host", "true"});
    EXPECT_TRUE(flags.options.verbose && flags.options.quiet);
}

TEST(ClientCommandLine, OnlyTheWeakCiphersWarn) {
    EXPECT_NE(cipherWarning(CIPHER_DES).find("weak"), std::string::npos);
    EXPECT_NE(cipherWarning(CIPHER_NONE).find("no encryption"), std::string::npos);
    EXPECT_TRUE(cipherWarning(CIPHER_TRIPLE_DES).empty());
    EXPECT_TRUE(cipherWarning(CIPHER_BLOWFISH).empty());
}

TEST(ClientSessionMode, TerminalsCommandsAndPtyFlags) {
    struct Case {
        bool command, t, T, stdinTty, stdoutTty;
        bool interactive, pty;
    };
    const Case cases[] = {
        // command t      T      in     out    interactive pty
        {false, false, false, true, true, true, true},    // today's session
        {false, false, false, false, false, false, false}, // shell fed from a pipe
        {false, false, false, true, false, false, true},  // typed into, output kept
        {false, true, false, false, false, false, true},
        {false, false, true, true, true, false, false},   // -T: never a pty
        {true, false, false, true, true, false, false},   // a command: no pty by default
        {true, true, false, false, false, false, true},
        {true, false, true, true, true, false, false},
    };
    for (const Case& c : cases) {
        ClientOptions options;
        if (c.command)
            options.command = "tty";
        options.forceTerminal = c.t;
        options.noTerminal = c.T;
        SessionMode mode = chooseSessionMode(options, c.stdinTty, c.stdoutTty);
        EXPECT_EQ(mode.interactive, c.interactive) << c.command << c.t << c.T << c.stdinTty << c.stdoutTty;
        EXPECT_EQ(mode.requestTerminal, c.pty) << c.command << c.t << c.T << c.stdinTty << c.stdoutTty;
    }
}

TEST(ClientSessionMode, RequestTtyFromTheConfigurationYieldsToTheFlags) {
    struct Case {
        const char* requestTty;
        bool command, t, T, stdinTty, stdoutTty;
        bool interactive, pty;
    };
    const Case cases[] = {
        // RequestTTY command t   T      in     out    interactive pty
        {"no", false, false, false, true, true, false, false},
        {"no", true, true, false, false, false, false, true},
        {"yes", true, false, false, true, false, false, true},
        {"yes", true, false, false, false, false, false, false},
        {"force", true, false, false, false, false, false, true},
        {"force", true, false, true, true, true, false, false},
        {"auto", true, false, false, true, true, false, false},
        {"auto", false, false, false, true, true, true, true},
    };
    for (const Case& c : cases) {
        ClientOptions options;
        options.requestTty = c.requestTty;
        if (c.command)
            options.command = "tty";
        options.forceTerminal = c.t;
        options.noTerminal = c.T;
        SessionMode mode = chooseSessionMode(options, c.stdinTty, c.stdoutTty);
        EXPECT_EQ((std::pair{mode.interactive, mode.requestTerminal}), (std::pair{c.interactive, c.pty}))
            << c.requestTty << c.command << c.t << c.T << c.stdinTty << c.stdoutTty;
    }
}

TEST(ClientSessionMode, TerminalTypeOnlyWhenPlausible) {
    EXPECT_EQ(terminalTypeFrom("xterm-256color"), "xterm-256color");
    EXPECT_EQ(terminalTypeFrom(nullptr), "vt100");
    EXPECT_EQ(terminalTypeFrom(""), "vt100");
    EXPECT_EQ(terminalTypeFrom("xterm\n\x1b[2J"), "vt100");
    EXPECT_EQ(terminalTypeFrom(std::string(MAX_TERMINAL_TYPE + 1, 'x').c_str()), "vt100");
    EXPECT_EQ(terminalTypeFrom(std::string(MAX_TERMINAL_TYPE, 'x').c_str()), std::string(MAX_TERMINAL_TYPE, 'x'));
}

std::string shownOnStderr(bool verbose, bool quiet, std::string& lastError) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_NONBLOCK), 0);
    StderrStatus status(ends[1], verbose, quiet);
    // Pieces as the engine writes them: a line may come in parts.
    for (const char* piece : {"Server challenge received\n", "Attempting cipher type '", "3DES'...\n",
                              "Warning - PTTY not Allocated\r\n", "ERROR - CANNOT DECRYPT PACKET\n"})
        status.feedText(piece, std::strlen(piece));
    lastError = status.lastError();
    char buffer[4096];
    ssize_t n = read(ends[0], buffer, sizeof buffer);
    close(ends[0]);
    close(ends[1]);
    return n > 0 ? std::string(buffer, std::size_t(n)) : "";
}

TEST(ClientStderrStatus, VerboseShowsAllQuietNoWarningsErrorsAreKept) {
    std::string error;
    EXPECT_EQ(shownOnStderr(false, false, error), "kestrel1: Warning - PTTY not Allocated\n");
    EXPECT_EQ(error, "CANNOT DECRYPT PACKET");
    EXPECT_EQ(shownOnStderr(false, true, error), "");
    EXPECT_EQ(shownOnStderr(true, true, error),
              "kestrel1: Server challenge received\nkestrel1: Attempting cipher type '3DES'...\n"
              "kestrel1: Warning - PTTY not Allocated\nkestrel1: ERROR - CANNOT DECRYPT PACKET\n");
}

TEST(ClientStderrStatus, AServersWordsReachTheTerminalOnlyAsPrintableText) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    StderrStatus status(ends[1], true, false);
    const char line[] = "Disconnected: bye\x1b]0;owned\x07\n";
    status.feedText(line, std::strlen(line));
    char buffer[256];
    ssize_t n = read(ends[0], buffer, sizeof buffer);
    close(ends[0]);
    close(ends[1]);
    ASSERT_GT(n, 0);
    std::string shown(buffer, std::size_t(n));
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x07'), std::string::npos) << shown;
}

} // namespace
} // namespace kestrel::client
