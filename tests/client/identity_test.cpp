// kestrel1's identity pieces: the command line, the key file checks before
// parsing, and the default identity.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "posix/client_options.h"
#include "posix/identity_files.h"
#include "posix/identity_options.h"

namespace kestrel::client {
namespace {

namespace fs = std::filesystem;

ParseResult parse(std::vector<std::string> words, ClientOptions& options, std::string& message) {
    words.insert(words.begin(), "kestrel1");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    return parseCommandLine(int(argv.size()), argv.data(), ClientSettings{}, options, message);
}

struct Folder {
    Folder() : path(fs::temp_directory_path() / ("kestrel-identity-" + std::to_string(getpid()))) {
        fs::create_directories(path);
    }
    ~Folder() { fs::remove_all(path); }
    std::string file(const std::string& name, const std::string& contents, mode_t mode) const {
        std::string where = (path / name).string();
        std::ofstream(where, std::ios::binary) << contents;
        chmod(where.c_str(), mode);
        return where;
    }
    fs::path path;
};

TEST(ClientIdentityOptions, IdentitiesKeygenAndPassphraseSources) {
    Folder folder;
    std::string passphraseFile = folder.file("pass", "two words\nsecond line\n", 0600);
    unsetenv("KESTREL_PASSPHRASE");
    struct Case {
        std::vector<std::string> words;
        ParseResult result;
        std::vector<std::string> identities;
        const char* keygen;
    };
    const Case cases[] = {
        // Each -i takes one file: the target after it stays the target.
        {{"-i", "a", "-i", "b", "me@host"}, ParseResult::Run, {"a", "b"}, ""},
        {{"--identity", "a", "host", "-p", "2222"}, ParseResult::Run, {"a"}, ""},
        {{"--keygen", "new"}, ParseResult::Run, {}, "new"},
        {{"--keygen", "new", "--bits", "4096", "--comment", "mine"}, ParseResult::Run, {}, "new"},
        {{"--keygen", "new", "host"}, ParseResult::Error, {}, ""},
        {{"--bits", "2048", "host"}, ParseResult::Error, {}, ""},       // only with --keygen
        {{"--keygen", "new", "--bits", "512"}, ParseResult::Error, {}, ""},
        {{"--keygen", "new", "--bits", "8193"}, ParseResult::Error, {}, ""},
        {{}, ParseResult::Error, {}, ""},                                 // no target
        {{"--passphrase-file", folder.path.string() + "/missing", "host"}, ParseResult::Error, {}, ""},
    };
    for (const Case& c : cases) {
        ClientOptions options;
        std::string message;
        std::string shown;
        for (const std::string& word : c.words)
            shown += word + " ";
        ASSERT_EQ(parse(c.words, options, message), c.result) << shown << message;
        if (c.result != ParseResult::Run)
            continue;
        EXPECT_EQ(options.identityFiles, c.identities) << shown;
        EXPECT_EQ(options.keygenFile, c.keygen) << shown;
        EXPECT_FALSE(options.havePassphrase);
    }
    ClientOptions options;
    std::string message;
    ASSERT_EQ(parse({"--keygen", "k", "--bits", "4096", "--comment", "mine", "--passphrase-file", passphraseFile},
                    options, message),
              ParseResult::Run);
    EXPECT_EQ(options.keygenBits, 4096u);
    EXPECT_EQ(options.keygenComment, "mine");
    EXPECT_EQ(options.passphrase, "two words");
    EXPECT_TRUE(options.havePassphrase);
    wipeSecrets(options);
    EXPECT_TRUE(options.passphrase.empty());

    setenv("KESTREL_PASSPHRASE", "from the environment", 1);
    ClientOptions fromEnvironment;
    ASSERT_EQ(parse({"--keygen", "k"}, fromEnvironment, message), ParseResult::Run);
    EXPECT_EQ(fromEnvironment.passphrase, "from the environment");
    EXPECT_EQ(fromEnvironment.keygenBits, 2048u);
    EXPECT_EQ(std::getenv("KESTREL_PASSPHRASE"), nullptr);  // taken, so no child or /proc shows it
    setenv("KESTREL_PASSPHRASE", std::string(MAX_PASSPHRASE + 1, 'p').c_str(), 1);
    ClientOptions tooLong;
    EXPECT_EQ(parse({"host"}, tooLong, message), ParseResult::Error);
    unsetenv("KESTREL_PASSPHRASE");
}

TEST(ClientIdentityFiles, FilesAreCheckedBeforeTheyAreParsed) {
    Folder folder;
    struct Case {
        const char* name;
        std::string contents;
        mode_t mode;
        const char* reason; // empty: readable
    };
    const Case cases[] = {
        {"private", "key bytes", 0600, ""},
        {"owner-only", "key bytes", 0400, ""},
        {"group-readable", "key bytes", 0640, "permissions 0640 are too open"},
        {"world-readable", "key bytes", 0644, "permissions 0644 are too open"},
        {"huge", std::string(KEY_FILE_MAX_SIZE + 1, 'k'), 0600, "larger than any key file"},
    };
    for (const Case& c : cases) {
        SecretBytes contents;
        std::string why = readKeyFileBytes(folder.file(c.name, c.contents, c.mode), contents);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
        EXPECT_EQ(why.empty(), c.reason[0] == '\0') << c.name << ": " << why;
        EXPECT_EQ(contents.bytes.size(), why.empty() ? c.contents.size() : 0u) << c.name;
    }
    SecretBytes contents;
    EXPECT_NE(readKeyFileBytes((folder.path / "absent").string(), contents).find("cannot open"), std::string::npos);
    EXPECT_EQ(readKeyFileBytes(folder.path.string(), contents), "not a plain file");
}

TEST(ClientIdentityFiles, DefaultIdentityOnlyWhenNoneIsGivenAndItExists) {
    Folder folder;
    const char* savedHome = std::getenv("HOME");
    std::string home = savedHome != nullptr ? savedHome : "";
    setenv("HOME", folder.path.c_str(), 1);
    ClientOptions options;
    EXPECT_TRUE(identityFilesToTry(options).empty());
    fs::create_directories(folder.path / ".ssh");
    std::string identity = folder.file(".ssh/identity", "k", 0600);
    EXPECT_EQ(identityFilesToTry(options), std::vector<std::string>{identity});
    options.identityFiles = {"given"};
    EXPECT_EQ(identityFilesToTry(options), std::vector<std::string>{"given"});
    setenv("HOME", home.c_str(), 1);
}

TEST(ClientIdentityFiles, NamesFromFilesCannotSteerTheTerminal) {
    EXPECT_EQ(printable("key\x1b[2Jname\r\n\x7f"), "key?[2Jname???");
    EXPECT_EQ(printable("caf\xc3\xa9"), "caf\xc3\xa9");
}

} // namespace
} // namespace kestrel::client
