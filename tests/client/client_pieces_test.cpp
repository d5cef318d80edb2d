// The client's pieces that the tmux tests reach only through a whole session.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "terminal/terminal_parser.h"
#include "posix/client_options.h"
#include "posix/key_input.h"
#include "posix/screen_painter.h"
#include "posix/settings_file.h"

namespace kestrel::client {
namespace {

TEST(ClientTarget, SplitsUserHostAndPort) {
    struct Case { const char* target; bool ok; const char* user; const char* host; int port; };
    const Case cases[] = {
        {"host", true, "", "host", 0},
        {"me@host:2222", true, "me", "host", 2222},
        {"a@b@host", true, "a@b", "host", 0},
        {"[::1]:22", true, "", "::1", 22},
        {"::1", true, "", "::1", 0},
        {"host:0", false}, {"host:65536", false}, {"host:", false}, {"host:22x", false},
        {"", false}, {"me@", false}, {"[::1", false}, {"bad host", false}, {"new\nline", false},
        {"[a]b:1", false}, {"x.example.", true, "", "x.example.", 0},
    };
    for (const Case& c : cases) {
        std::string user, host;
        int port = -1;
        ASSERT_EQ(c.ok, splitTarget(c.target, user, host, port)) << c.target;
        if (c.ok)
            EXPECT_EQ((std::vector<std::string>{c.user, c.host}), (std::vector<std::string>{user, host})) << c.target;
        if (c.ok)
            EXPECT_EQ(c.port, port) << c.target;
    }
}

TEST(ClientSettings, HandheldRulesForTerminalValuesAndServerList) {
    std::string path = testing::TempDir() + "kestrel1_settings_" + std::to_string(getpid());
    SettingsFile file(path);
    file.setDword("CETermType", 1); // without the scroll-back: both fall back
    EXPECT_FALSE(readClientSettings(file).useVt52);
    file.setDword("CENumScrollBackLines", 9000);
    EXPECT_TRUE(readClientSettings(file).useVt52);
    EXPECT_EQ(500u, readClientSettings(file).scrollbackLines);

    rememberConnection(file, "zeta", "me", "22");
    rememberConnection(file, "Alpha", "me", "22");
    rememberConnection(file, "ZETA", "you", "2222");
    rememberConnection(file, std::string(80, 'x'), "you", "2222"); // too long for the dialog
    ASSERT_TRUE(file.save());
    SettingsFile again(path);
    again.load();
    ClientSettings read = readClientSettings(again);
    EXPECT_EQ((std::vector<std::string>{"Alpha", "zeta"}), read.servers);
    EXPECT_EQ("you", read.userName.value_or(""));
    EXPECT_EQ("2222", read.portText);
    again.setString("CEUsername", "two\nlines"); // would forge a second value
    EXPECT_EQ("you", again.getString("CEUsername").value_or(""));
    std::remove(path.c_str());
}

TEST(ClientTarget, HostNamesLongerThanDnsAllowsAreRefused) {
    std::string user, host;
    int port;
    EXPECT_TRUE(splitTarget(std::string(MAX_HOST_NAME, 'h'), user, host, port));
    EXPECT_FALSE(splitTarget(std::string(MAX_HOST_NAME + 1, 'h'), user, host, port));
}

// The command line wins, then the host's own stored value, then the one for
// all hosts, then the default; a stored value that means nothing is an error.
TEST(ClientOptionsTest, WireHidingChoicesPerHostAndFromTheCommandLine) {
    SettingsFile file(testing::TempDir() + "kestrel1_wire_" + std::to_string(getpid()));
    file.setString("PasswordCamouflage", "pad");
    file.setString("PasswordCamouflage@oldrouter", "none");
    file.setString("ObscureKeystrokeTiming@oldrouter", "no");
    file.setString("PasswordCamouflageX", "none"); // another name, not a host form
    struct Case {
        std::vector<std::string> args;
        ParseResult result;
        PasswordCamouflage camouflage;
        bool obscure;
    } cases[] = {
        {{"newbox"}, ParseResult::Run, PasswordCamouflage::ZeroPadding, true},
        {{"oldrouter"}, ParseResult::Run, PasswordCamouflage::None, false},
        {{"--password-camouflage", "ignore", "--obscure-keystroke-timing", "yes", "oldrouter"}, ParseResult::Run,
         PasswordCamouflage::IgnoreMessages, true},
        {{"--password-camouflage", "sometimes", "newbox"}, ParseResult::Error, {}, {}},
        {{"--obscure-keystroke-timing", "off", "newbox"}, ParseResult::Error, {}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"kestrel1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        ClientOptions options;
        std::string message;
        ASSERT_EQ(parseCommandLine(int(argv.size()), argv.data(), readClientSettings(file), options, message), c.result)
            << args.back() << message;
        if (c.result != ParseResult::Run)
            continue;
        EXPECT_EQ(options.camouflage, c.camouflage) << args.back();
        EXPECT_EQ(options.obscureKeystrokeTiming, c.obscure) << args.back();
    }
    file.setString("ObscureKeystrokeTiming", "perhaps");
    char name[] = "kestrel1", host[] = "newbox";
    char* argv[] = {name, host};
    ClientOptions options;
    std::string message;
    EXPECT_EQ(parseCommandLine(2, argv, readClientSettings(file), options, message), ParseResult::Error);
    EXPECT_NE(message.find("ObscureKeystrokeTiming"), std::string::npos) << message;
}

std::string decode(KeyDecoder& keys, std::initializer_list<const char*> pieces, bool flush = false) {
    std::vector<KeyEvent> events;
    for (const char* piece : pieces)
        keys.feed(piece, std::strlen(piece), events);
    if (flush)
        keys.flush(events);
    std::string shown;
    for (const KeyEvent& event : events)
        shown += event.action == KeyAction::Send ? "[" + event.bytes + "]" : "<" + std::to_string(int(event.action)) + ">";
    return shown;
}

TEST(ClientKeys, SequencesEscapesAndScrollKeys) {
    struct Case { bool vt52; std::initializer_list<const char*> pieces; bool flush; std::string expected; };
    const Case cases[] = {
        {false, {"\x1b[A\x1bOD"}, false, "[\x1b[A\x1b[D]"},
        {true, {"\x1b", "[", "B"}, false, "[\x1b" "B]"},     // cut anywhere
        {false, {"~."}, false, "<1>"},                        // at the start of the session
        {false, {"ab~."}, false, "[ab~.]"},                   // not at a line start
        {false, {"x\r~~~?"}, false, "[x\r~~?]"},              // ~~ is one tilde; the next is no longer at a line start
        {false, {"\r~?\r~b~f"}, false, "[\r]<2>[\r]<3><4>"},
        {false, {"\x1b[5;2~\x1b[6;2~\x1b[1;2A\x1b[1;2B"}, false, "<3><4><5><6>"},
        {false, {"\x1b"}, true, "[\x1b]"},                    // the Escape key itself
        {false, {"\x1b\x1b[C"}, false, "[\x1b\x1b[C]"},
        {false, {"\x1b[3~"}, false, "[\x1b[3~]"},            // other keys pass through
        {false, {"\x1b[111111111111111111"}, false, "[\x1b[111111111111111111]"}, // bounded
    };
    for (const Case& c : cases) {
        KeyDecoder keys(c.vt52);
        std::string got = decode(keys, c.pieces, c.flush);
        EXPECT_EQ(c.expected, got) << *c.pieces.begin();
    }
}

TEST(ClientKeys, ACommandsPtyGetsEveryByteButTheLineStartEscape) {
    struct Case { std::initializer_list<const char*> pieces; std::string sent; bool disconnect; };
    const Case cases[] = {
        {{"~."}, "", true},
        {{"ls\r~.rest"}, "ls\r", true},
        {{"ls\n~", "."}, "ls\n", true},          // cut between the two
        {{"a~.b"}, "a~.b", false},                 // not at a line start
        {{"~~."}, "~.", false},                    // one tilde sent, the next byte is plain
        {{"~x\x1b[A~?"}, "~x\x1b[A~?", false},     // others go as typed, keys untouched
        {{"\r~", "\r~~"}, "\r~\r~", false},
    };
    for (const Case& c : cases) {
        LineEscape escape;
        std::string sent;
        bool disconnect = false;
        for (const char* piece : c.pieces)
            disconnect = disconnect || escape.feed(piece, std::strlen(piece), sent);
        EXPECT_EQ(std::pair(c.sent, c.disconnect), std::pair(sent, disconnect)) << *c.pieces.begin();
    }
}

TEST(ClientPainter, RedrawsOnlyWhatChangedWithTheViewsColours) {
    ScreenBuffer screen;
    TerminalParser parser;
    parser.attach(screen);
    screen.resize(20, 3, 0, 0, nullptr);
    parser.feedText("ab \x1b[7mrv\x1b[0m \x1b[1mbd\x1b[0m\x1b[4mu");
    ScreenPainter painter(true);
    Frame frame = captureFrame(screen, 20, 3, 0);
    EXPECT_EQ((std::vector<uint8_t>{STYLE_NORMAL, STYLE_REVERSE, STYLE_BOLD, STYLE_BOLD}),
              (std::vector<uint8_t>{frame.at(0, 0).style, frame.at(0, 3).style, frame.at(0, 6).style,
                                    frame.at(0, 8).style})); // underline alone keeps the look before it
    std::string first = painter.paint(frame);
    EXPECT_NE(std::string::npos, first.find("\x1b[0;38;5;231;48;5;16mrv"));
    EXPECT_EQ("", painter.paint(frame));

    parser.feedText("\x1b[3;19HZ");
    std::string second = painter.paint(captureFrame(screen, 20, 3, 0));
    EXPECT_EQ("\x1b[?25l\x1b[3;19HZ\x1b[3;20H\x1b[?25h", second);
}

} // namespace
} // namespace kestrel::client
