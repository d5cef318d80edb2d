#include "posix/client_options.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <unistd.h>

#include "crypto/cipher_context.h"
#include "crypto/secure_zero.h"
#include "engine/settings_schema.h"
#include "posix/client_files.h"
#include "posix/identity_options.h"

namespace kestrel::client {

namespace {

bool validHost(const std::string& host) {
    if (host.empty() || host.size() > MAX_HOST_NAME)
        return false;
    // The name is written into the known-hosts file: no separators in it.
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f || c == '[' || c == ']')
            return false;
    return true;
}

int portNumber(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535 ? port : -1;
}

uint32_t cipherCode(const std::string& name) {
    if (name == "blowfish")
        return CIPHER_BLOWFISH;
    if (name == "none")
        return CIPHER_NONE;
    return CIPHER_TRIPLE_DES;
}

// The first line of the file, without its line break.
bool readPasswordFile(const std::string& path, std::string& password, std::string& message) {
    std::optional<std::string> text = readSmallFile(path, PASSWORD_FILE_LIMIT);
    if (!text) {
        message = "cannot read the password file " + path;
        return false;
    }
    password = text->substr(0, text->find_first_of("\r\n"));
    return true;
}

std::string loginName() {
    const char* user = std::getenv("USER");
    if (user != nullptr && user[0] != '\0')
        return user;
    const char* login = getlogin();
    return login != nullptr ? login : "";
}

} // namespace

void wipeSecrets(ClientOptions& options) {
    for (std::string* secret : {&options.password, &options.passphrase}) {
        secureZero(secret->data(), secret->size());
        secret->clear();
    }
}

bool splitTarget(const std::string& target, std::string& user, std::string& host, int& port) {
    std::string rest = target;
    std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        user = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string::npos)
            return false;
        std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':')
            return false;
        portText = after.empty() ? "" : after.substr(1);
        if (!after.empty() && portText.empty())
            return false;
        rest = rest.substr(1, close - 1);
    } else if (std::size_t colon = rest.find(':'); colon != std::string::npos && rest.find(':', colon + 1) == std::string::npos) {
        portText = rest.substr(colon + 1);
        if (portText.empty())
            return false;
        rest = rest.substr(0, colon);
    }
    port = 0;
    if (!portText.empty() && (port = portNumber(portText)) < 0)
        return false;
    host = rest;
    return validHost(host);
}

ParseResult parseCommandLine(int argc, char** argv, const ClientSettings& stored, ClientOptions& options,
                             std::string& message) {
    CLI::App app{"Interactive SSH protocol 1.5 client, with the terminal of the Kestrel1 handheld.\n"
                 "Password: KESTREL_PASSWORD, --password-file, or asked on the terminal.",
                 "kestrel1"};
    std::string target, user, cipher = "3des", passwordFile;
    int port = 0;
    bool vt52 = false;
    int scrollback = -1;
    app.add_option("target", target, "[user@]host[:port] (not with --keygen)");
    app.add_option("-p,--port", port, "server port (default 22)")->check(CLI::Range(1, 65535));
    app.add_option("-l,--login", user, "user name (default: the stored one, else $USER)");
    app.add_option("-c,--cipher", cipher, "3des (default), blowfish or none")
        ->check(CLI::IsMember({"3des", "blowfish", "none"}));
    app.add_flag("--vt52", vt52, "VT52 terminal instead of VT100");
    app.add_option("--scrollback", scrollback, "scroll-back lines, 0 to 500")->check(CLI::Range(settings::MIN_SCROLLBACK_LINES, settings::MAX_SCROLLBACK_LINES));
    app.add_option("--password-file", passwordFile, "read the password from the first line of FILE");
    app.add_option("--connect-timeout", options.connectTimeout, "seconds to wait for the connection (default 15)")
        ->check(CLI::Range(0.1, MAX_CONNECT_TIMEOUT));
    app.add_flag("--accept-new-host-key", options.acceptNewHostKey,
                 "trust and remember a host key seen for the first time without asking");
    IdentityArguments identity;
    addIdentityOptions(app, identity);
    app.set_version_flag("--version", "kestrel1 1.00.46");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        message = app.help();
        return ParseResult::Exit;
    } catch (const CLI::CallForVersion& e) {
        message = std::string(e.what()) + "\n";
        return ParseResult::Exit;
    } catch (const CLI::ParseError& e) {
        message = e.what();
        return ParseResult::Error;
    }
    if (!finishIdentityOptions(identity, options, message))
        return ParseResult::Error;
    if (!options.keygenFile.empty()) {
        if (target.empty())
            return ParseResult::Run;
        message = "--keygen makes a key pair and connects nowhere: leave out " + target;
        return ParseResult::Error;
    }
    if (target.empty()) {
        message = "target is required";
        return ParseResult::Error;
    }
    std::string targetUser;
    int targetPort = 0;
    if (!splitTarget(target, targetUser, options.host, targetPort)) {
        message = "not a host: " + target + " (expected [user@]host[:port])";
        return ParseResult::Error;
    }
    options.port = uint16_t(port != 0 ? port : targetPort != 0 ? targetPort : 22);
    options.user = !user.empty() ? user : !targetUser.empty() ? targetUser : stored.userName.value_or(loginName());
    options.cipher = cipherCode(cipher);
    options.vt52 = vt52 || stored.useVt52;
    options.scrollbackLines = scrollback >= 0 ? uint32_t(scrollback) : stored.scrollbackLines;
    if (!passwordFile.empty()) {
        if (!readPasswordFile(passwordFile, options.password, message))
            return ParseResult::Error;
        options.havePassword = true;
    } else if (const char* password = std::getenv("KESTREL_PASSWORD"); password != nullptr) {
        options.password = password;
        options.havePassword = true;
    }
    if (options.password.size() > MAX_PASSWORD) {
        message = "password longer than " + std::to_string(MAX_PASSWORD) + " bytes";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace kestrel::client
