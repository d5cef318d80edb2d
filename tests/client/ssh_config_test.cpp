// ssh_config as people keep it: patterns, which value wins, Include, Match,
// malformed lines, and how the file meets the command line and kestrel1's
// own settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "crypto/cipher_context.h"
#include "posix/client_options.h"
#include "posix/config_options.h"
#include "posix/ssh_config.h"

namespace kestrel::client {
namespace {

namespace fs = std::filesystem;

TEST(SshConfigPatterns, WildcardsNegationAndLetterCase) {
    struct Case {
        const char* host;
        std::vector<std::string> patterns;
        bool matches;
    };
    const Case cases[] = {
        {"router1", {"router?"}, true},
        {"router12", {"router?"}, false},
        {"ups.lab.example", {"*.lab.example"}, true},
        {"UPS.Lab.Example", {"*.lab.example"}, true},
        {"lab.example", {"*.lab.example"}, false},
        {"anything", {"*"}, true},
        {"a*b", {"a*b*"}, true},
        {"switch", {"*", "!switch"}, false},
        {"switch", {"!switch", "*"}, false},
        {"switch2", {"*,!switch"}, true},
        {"switch", {"!switch"}, false}, // a negation alone matches nothing
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", {"*a*a*a*a*a*a*a*a*a*a*a*a*c"}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matchHostPatterns(c.host, c.patterns), c.matches) << c.host << " " << c.patterns[0];
}

class SshConfigFiles : public ::testing::Test {
protected:
    void SetUp() override {
        home = (fs::temp_directory_path() / ("kestrel-sshconfig-" + std::to_string(getpid()))).string();
        fs::create_directories(home + "/.ssh/conf.d");
        oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        setenv("HOME", oldHome.c_str(), 1);
        fs::remove_all(home);
    }
    void write(const std::string& leaf, const std::string& text) {
        std::ofstream(home + "/" + leaf, std::ios::binary) << text;
    }
    // Values read for host from ~/.ssh/config, after -o options.
    SshConfig read(const std::string& host, std::vector<std::string> dashO = {}, std::string* error = nullptr) {
        SshConfig config;
        std::string message;
        bool ok = readSshConfig(dashO, "", host, config, message);
        if (error != nullptr)
            *error = ok ? "" : message;
        else
            EXPECT_TRUE(ok) << message;
        return config;
    }
    std::string value(const SshConfig& config, const char* keyword) {
        const std::string* found = config.find(keyword);
        return found ? *found : "(unset)";
    }

    std::string home, oldHome;
};

TEST_F(SshConfigFiles, FirstValueWinsAndOptionsComeFirst) {
    write(".ssh/config",
          "# a comment\n"
          "Compression yes\n"
          "Host router? !router9\r\n"
          "    HostName=10.1.1.%h\n"
          "    Port 2201\n"
          "    User = \"admin user\"\n"
          "Host router*\n"
          "    Port 2299\n"
          "    Ciphers aes128-ctr\n"
          "    ForwardAgent yes\n"
          "    SomethingUnheardOf at all\n"
          "    IdentityFile ~/.ssh/first\n"
          "Host *\n"
          "    Port 22\n"
          "    Compression no\n"
          "    IdentityFile ~/.ssh/second\n"
          "    LocalForward 8080 localhost:80\n");
    SshConfig one = read("router1", {"Port=7", "User carol"});
    EXPECT_EQ(value(one, "hostname"), "10.1.1.%h");
    EXPECT_EQ(value(one, "port"), "7");
    EXPECT_EQ(value(one, "user"), "carol");
    EXPECT_EQ(value(one, "compression"), "yes");
    EXPECT_EQ(value(one, "ciphers"), "(unset)"); // protocol 2 only: passed over
    EXPECT_EQ(one.lists["identityfile"], (std::vector<std::string>{"~/.ssh/first", "~/.ssh/second"}));
    EXPECT_EQ(one.lists["localforward"], (std::vector<std::string>{"8080 localhost:80"}));
    EXPECT_TRUE(one.warnings.empty());

    SshConfig nine = read("router9");
    EXPECT_EQ(value(nine, "hostname"), "(unset)");
    EXPECT_EQ(value(nine, "port"), "2299");
    EXPECT_EQ(value(read("ups"), "port"), "22");
}

TEST_F(SshConfigFiles, MatchBlocksAreSkippedWithOneWarning) {
    write(".ssh/config",
          "Host gear\n"
          "  Port 2000\n"
          "Match host gear exec \"false\"\n"
          "  User matched\n"
          "  Port 1\n"
          "Match all\n"
          "  User again\n"
          "Host gear\n"
          "  User after\n");
    SshConfig config = read("gear");
    EXPECT_EQ(value(config, "port"), "2000");
    EXPECT_EQ(value(config, "user"), "after");
    ASSERT_EQ(config.warnings.size(), 1u);
    EXPECT_NE(config.warnings[0].find("config line 3: Match blocks are not evaluated"), std::string::npos);
}

TEST_F(SshConfigFiles, IncludeIsRelativeToTheSshFolderGlobbedAndConditional) {
    write(".ssh/config",
          "Include conf.d/*.conf\n"
          "Host other\n"
          "  Include ~/.ssh/other.inc\n"
          "Host *\n"
          "  Include missing/*.conf\n"
          "  User fallback\n");
    write(".ssh/conf.d/10-a.conf", "Host a\n  Port 10\n");
    write(".ssh/conf.d/20-b.conf", "Host a b\n  Port 20\n  User from-b\n");
    write(".ssh/conf.d/notes.txt", "Host a\n  Port 99\n");
    write(".ssh/other.inc", "User from-other\n");
    SshConfig a = read("a");
    EXPECT_EQ(value(a, "port"), "10");
    EXPECT_EQ(value(a, "user"), "from-b");
    EXPECT_EQ(value(read("other"), "user"), "from-other");
    EXPECT_EQ(value(read("c"), "user"), "fallback"); // other.inc applies to "other" only
}

TEST_F(SshConfigFiles, IncludeLoopsAndFanOutStopAtTheirBounds) {
    write(".ssh/config", "Include loop\n");
    write(".ssh/loop", "Include loop\n");
    std::string error;
    read("x", {}, &error);
    EXPECT_NE(error.find("Include nested deeper than " + std::to_string(MAX_INCLUDE_DEPTH)), std::string::npos)
        << error;

    // Two levels of twenty files, each including the next level whole: the
    // depth limit alone would let wildcards multiply the reads.
    write(".ssh/config", "Include fan/*\n");
    fs::create_directories(home + "/.ssh/fan");
    fs::create_directories(home + "/.ssh/leaves");
    for (int i = 0; i < 20; ++i) {
        write(".ssh/fan/" + std::to_string(i), "Include leaves/*\n");
        write(".ssh/leaves/" + std::to_string(i), "Port 22\n");
    }
    read("x", {}, &error);
    EXPECT_NE(error.find("more than " + std::to_string(MAX_CONFIG_FILES) + " configuration files"),
              std::string::npos)
        << error;

    write(".ssh/config", std::string(CONFIG_FILE_LIMIT + 1, '#'));
    read("x", {}, &error);
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
}

TEST_F(SshConfigFiles, MalformedLinesNameTheFileAndLine) {
    struct Case {
        const char* text;
        const char* complaint;
    };
    const Case cases[] = {
        {"Port 22\nPort abc\n", "config line 2: bad value abc"},
        {"Host\n", "config line 1: Host needs a pattern"},
        {"User \"open\n", "config line 1: unterminated quote"},
        {"\n\nCompressionLevel 10\n", "config line 3: bad value 10"},
        {"Cipher aes\n", "config line 1: bad value aes"},
        {"ConnectTimeout 3601\n", "config line 1: bad value 3601"}, // the command line's ceiling too
        {"Port\n", "config line 1: missing value"},
        {"Port 22 23\n", "config line 1: more than one value"},
        // Checked even where it does not apply, or the mistake waits for the day it does.
        {"Host elsewhere\n  StrictHostKeyChecking maybe\n", "config line 2: bad value for StrictHostKeyChecking"},
    };
    for (const Case& c : cases) {
        write(".ssh/config", c.text);
        std::string error;
        read("host", {}, &error);
        EXPECT_NE(error.find(c.complaint), std::string::npos) << c.text << " -> " << error;
        EXPECT_NE(error.find(home + "/.ssh/config line"), std::string::npos) << error;
    }
    std::string error;
    read("host", {"Port=0"}, &error);
    EXPECT_EQ(error, "-o Port=0: bad value 0");
}

// The whole command line, so the order of the sources is tested where the
// program decides it.
struct CommandLine {
    explicit CommandLine(std::vector<std::string> args) : words(std::move(args)) {
        words.insert(words.begin(), "kestrel1");
        for (std::string& word : words)
            pointers.push_back(word.data());
    }
    ParseResult parse(ClientOptions& options, const ClientSettings& stored, std::string& message) {
        return parseCommandLine(int(pointers.size()), pointers.data(), stored, options, message);
    }
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

TEST_F(SshConfigFiles, CommandLineThenOptionsThenFileThenOwnSettings) {
    write(".ssh/config",
          "Host ups\n  HostName ups.lab\n  Port 2022\n  User fileuser\n  Cipher blowfish\n"
          "  CompressionLevel 9\n  TCPKeepAlive no\n  StrictHostKeyChecking no\n"
          "  UserKnownHostsFile ~/kh\n  ConnectTimeout 4\n");
    write("other", "Host ups\n  Port 3033\n  Compression yes\n");
    ClientSettings stored{{}, std::string("storeduser"), "22", false, 100};
    struct Case {
        std::vector<std::string> args;
        std::string host;
        int port;
        std::string user;
        uint32_t cipher;
        bool compression;
    };
    const Case cases[] = {
        {{"ups"}, "ups.lab", 2022, "fileuser", 6, false},
        {{"-o", "Port=5", "-o", "User=optuser", "ups"}, "ups.lab", 5, "optuser", 6, false},
        {{"-p", "6", "-l", "flaguser", "-c", "3des", "-o", "Port=5", "ups"}, "ups.lab", 6, "flaguser", 3, false},
        {{"me@ups:7"}, "ups.lab", 7, "me", 6, false},
        {{"-C", "ups"}, "ups.lab", 2022, "fileuser", 6, true},
        {{"-F", home + "/other", "ups"}, "ups", 3033, "storeduser", 3, true},
        {{"-F", "none", "ups"}, "ups", 22, "storeduser", 3, false},
        {{"-F", "none", "-o", "Compression=yes", "ups"}, "ups", 22, "storeduser", 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : c.args[0]);
        ClientOptions options;
        std::string message;
        ASSERT_EQ(CommandLine(c.args).parse(options, stored, message), ParseResult::Run) << message;
        EXPECT_EQ(options.host, c.host);
        EXPECT_EQ(options.port, c.port);
        EXPECT_EQ(options.user, c.user);
        EXPECT_EQ(options.cipher, c.cipher);
        EXPECT_EQ(options.compression, c.compression);
    }
    ClientOptions options;
    std::string message;
    ASSERT_EQ(CommandLine({"ups"}).parse(options, stored, message), ParseResult::Run);
    EXPECT_EQ(options.compressionLevel, 9);
    EXPECT_FALSE(options.tcpKeepAlive);
    EXPECT_EQ(options.hostKeyChecking, HostKeyChecking::AcceptNew); // "no" never takes a changed key
    EXPECT_TRUE(options.acceptNewHostKey);
    EXPECT_EQ(options.knownHostsFile, home + "/kh");
    EXPECT_EQ(options.connectTimeout, 4);
    ClientOptions plain;
    ASSERT_EQ(CommandLine({"-F", "none", "box"}).parse(plain, stored, message), ParseResult::Run);
    EXPECT_TRUE(plain.tcpKeepAlive); // on unless switched off
    EXPECT_EQ(plain.compressionLevel, COMPRESSION_LEVEL_DEFAULT);
    EXPECT_EQ(plain.hostKeyChecking, HostKeyChecking::Ask);
}

TEST_F(SshConfigFiles, WeakCiphersAndBadFilesAreReported) {
    write(".ssh/config", "Host old\n  Cipher des\nHost clear\n  Cipher none\n");
    ClientSettings stored{{}, std::nullopt, "22", false, 100};
    for (const char* host : {"old", "clear"}) {
        ClientOptions options;
        std::string message;
        ASSERT_EQ(CommandLine({host}).parse(options, stored, message), ParseResult::Run);
        EXPECT_NE(options.cipher, CIPHER_TRIPLE_DES) << host;
        EXPECT_FALSE(cipherWarning(options.cipher).empty()) << host;
    }
    ClientOptions options;
    std::string message;
    EXPECT_EQ(CommandLine({"-F", home + "/absent", "x"}).parse(options, stored, message), ParseResult::Error);
    EXPECT_EQ(message, "cannot read the configuration file " + home + "/absent");
    EXPECT_EQ(CommandLine({"-o", "NoEquals", "x"}).parse(options, stored, message), ParseResult::Run);
}

} // namespace
} // namespace kestrel::client
