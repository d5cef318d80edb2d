// Known host keys: the stored form, the file's check, and every way the file
// can fail to prove anything (each of which must refuse, never look new).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/known_hosts.h"
#include "engine/printable_text.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

// 2^100 + 277: a 101-bit modulus; the announced size is deliberately wrong.
constexpr char MODULUS[] = "1267650600228229401496703205653";
constexpr char OTHER_MODULUS[] = "1267650600228229401496703205655";

void setKey(RsaPublicKey& key, const char* modulus, unsigned long exponent = 65537, uint32_t announced = 1024) {
    key.bits = announced;
    mpz_set_ui(key.exponent, exponent);
    mpz_set_str(key.modulus, modulus, 10);
}

TEST(HostKeyText, SizeIsTheModulusOwnAndTheTextReadsBack) {
    RsaPublicKey key;
    setKey(key, MODULUS);
    EXPECT_EQ(modulusBits(key), 101u);
    std::string text = hostKeyText(key);
    EXPECT_EQ(text, std::string("101 65537 ") + MODULUS);
    EXPECT_EQ(compareStoredKey(text, key), StoredKeyMatch::Same);
    EXPECT_EQ(hostKeyFingerprint(key).size(), 3 + 16 * 3u);

    struct Case { std::string stored; StoredKeyMatch expected; } cases[] = {
        {std::string("101 65537 ") + OTHER_MODULUS, StoredKeyMatch::Different},
        {std::string("101 3 ") + MODULUS, StoredKeyMatch::Different},
        {std::string("1024 65537 ") + MODULUS, StoredKeyMatch::Unreadable},   // size is not the modulus's
        {std::string("101 65537 ") + MODULUS + " ", StoredKeyMatch::Unreadable},
        {std::string("101  65537 ") + MODULUS, StoredKeyMatch::Unreadable},
        {std::string("101 -65537 ") + MODULUS, StoredKeyMatch::Unreadable},
        {std::string("101 0x10001 ") + MODULUS, StoredKeyMatch::Unreadable},
        {"101 65537", StoredKeyMatch::Unreadable},
        {"0 65537 0", StoredKeyMatch::Unreadable},
        {"", StoredKeyMatch::Unreadable},
        {std::string(HOST_KEY_TEXT_LIMIT + 1, '1'), StoredKeyMatch::Unreadable},
    };
    for (const Case& c : cases)
        EXPECT_EQ(compareStoredKey(c.stored, key), c.expected) << c.stored.substr(0, 60);
}

TEST(KnownHostsText, EachLineForThisHostCountsAndNoneIsSkipped) {
    RsaPublicKey key;
    setKey(key, MODULUS);
    std::string good = std::string("101 65537 ") + MODULUS;
    std::string other = std::string("101 65537 ") + OTHER_MODULUS;
    struct Case {
        std::string text;
        HostKeyMatch match;
        std::size_t line;
    } cases[] = {
        {"", HostKeyMatch::Unknown, 0},
        {"[h]:22 " + good + "\n", HostKeyMatch::Matches, 0},
        {"[h]:22 " + good, HostKeyMatch::Matches, 0},                          // no final line break
        {"[h]:22 " + good + "\r\n", HostKeyMatch::Matches, 0},
        {"[h]:2222 " + good + "\n", HostKeyMatch::Unknown, 0},                 // per port
        {"[hh]:22 " + good + "\n[h]:222 " + good + "\n", HostKeyMatch::Unknown, 0},
        {"[x]:1 " + good + "\n[h]:22 " + other + "\n", HostKeyMatch::Changed, 2},
        {"[h]:22 " + other + "\n[h]:22 " + good + "\n", HostKeyMatch::Matches, 0}, // an older line stays harmless
        {"[x]:1 garbage\n[h]:22 " + good + "\n", HostKeyMatch::Matches, 0},   // another host's damage is its own
        {"[h]:22 garbage\n[h]:22 " + good + "\n", HostKeyMatch::Unreadable, 1},
        {"# note\n[h]:22 1024 65537 " + std::string(MODULUS) + "\n", HostKeyMatch::Unreadable, 2},
        {"[h]:22 " + good + std::string(KNOWN_HOSTS_LINE_LIMIT, ' ') + "\n", HostKeyMatch::Unreadable, 1},
    };
    for (const Case& c : cases) {
        HostKeyCheck check = checkKnownHostsText(c.text, "h", 22, key);
        EXPECT_EQ(check.match, c.match) << c.text.substr(0, 80);
        EXPECT_EQ(check.line, c.line) << c.text.substr(0, 80);
        EXPECT_EQ(check.problem.empty(), c.match != HostKeyMatch::Unreadable);
    }
}

class KnownHostsFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::scratchFolder("known");
        path = folder + "/state/kestrel1/known_hosts";
        setKey(key, MODULUS);
        setKey(other, OTHER_MODULUS);
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string folder;
    std::string path;
    RsaPublicKey key, other;
};

TEST_F(KnownHostsFile, AddedKeysAreFoundAndTheFileIsTheOwnersAlone) {
    KnownHosts known(path);
    EXPECT_EQ(known.check("h", 22, key).match, HostKeyMatch::Unknown);
    ASSERT_TRUE(known.add("h", 22, key));
    ASSERT_TRUE(known.add("g", 22, other));
    EXPECT_EQ(known.check("h", 22, key).match, HostKeyMatch::Matches);
    EXPECT_EQ(known.check("g", 22, other).match, HostKeyMatch::Matches);
    HostKeyCheck changed = known.check("h", 22, other);
    EXPECT_EQ(changed.match, HostKeyMatch::Changed);
    EXPECT_EQ(changed.line, 1u);
#ifndef _WIN32 // Windows keeps no such rights
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_FALSE(fs::exists(path + ".new"));
}

TEST_F(KnownHostsFile, WhatCannotBeReadRefusesAndIsNeverReplaced) {
    KnownHosts known(path);
    fs::create_directories(path); // a folder where the file should be
    HostKeyCheck folderCheck = known.check("h", 22, key);
    EXPECT_EQ(folderCheck.match, HostKeyMatch::Unreadable);
    EXPECT_NE(folderCheck.problem.find("cannot be read"), std::string::npos);
    EXPECT_FALSE(known.add("h", 22, key));
    fs::remove(path);

    ASSERT_TRUE(known.add("h", 22, key));
    fs::resize_file(path, KNOWN_HOSTS_FILE_LIMIT + 1);
    HostKeyCheck large = known.check("h", 22, key);
    EXPECT_EQ(large.match, HostKeyMatch::Unreadable);
    EXPECT_NE(large.problem.find("larger than"), std::string::npos);
    EXPECT_FALSE(known.add("h", 22, key));
    EXPECT_EQ(fs::file_size(path), KNOWN_HOSTS_FILE_LIMIT + 1);

    fs::resize_file(path, KNOWN_HOSTS_FILE_LIMIT); // at the bound: read, and the padding is no key
    EXPECT_EQ(known.check("h", 22, key).match, HostKeyMatch::Matches);
}

TEST_F(KnownHostsFile, NamesThatWouldForgeALineAreRefused) {
    KnownHosts known(path);
    for (const char* host : {"", "a b", "a]:22 1 1 1\n[b", "a\tb", "\x1b]0;x\x07"}) {
        EXPECT_FALSE(storableHostName(host)) << host;
        EXPECT_EQ(known.check(host, 22, key).match, HostKeyMatch::Unreadable);
        EXPECT_FALSE(known.add(host, 22, key));
    }
    EXPECT_TRUE(storableHostName("server.example"));
    EXPECT_TRUE(storableHostName("10.0.0.1"));
}

TEST(PrintableText, ControlsThatDriveATerminalAreShownNotSent) {
    struct Case { std::string in, out; } cases[] = {
        {"plain text\r\n\tand\bback", "plain text\r\n\tand\bback"},
        {"\x1b]52;c;aGk=\x07", "\\x1b]52;c;aGk=\\x07"},            // clipboard write
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x7f", "\\x7f"},
        {"\xc2\x9b" "6n", "\\u009b6n"},                               // C1 CSI in UTF-8: a report request
        {"caf\xc3\xa9 \xc2\xa0", "caf\xc3\xa9 \xc2\xa0"},             // ordinary UTF-8 stays
        {"\xc2", "\xc2"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(printable(c.in), c.out) << c.in;

    PrintableText split;
    std::string out;
    split.feed("x\xc2", 2, out);
    split.feed("\x90y", 2, out);
    split.finish(out);
    EXPECT_EQ(out, "x\\u0090y");
}

} // namespace
} // namespace kestrel
