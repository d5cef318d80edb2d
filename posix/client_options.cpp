#include "posix/client_options.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <unistd.h>

#include "crypto/cipher_context.h"
#include "engine/secret_text.h"
#include "engine/settings_schema.h"
#include "posix/client_files.h"
#include "posix/environment_secret.h"
#include "posix/config_options.h"
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

// The first line of the file, without its line break.
bool readPasswordFile(const std::string& path, std::string& password, std::string& message) {
    std::optional<std::string> text = readSmallFile(path, PASSWORD_FILE_LIMIT);
    if (!text) {
        message = "cannot read the password file " + path;
        return false;
    }
    password = text->substr(0, text->find_first_of("\r\n"));
    wipeString(*text);
    return true;
}

// The command line's choice, else the stored one for this host or all hosts,
// else the default. A stored value that makes no sense is reported, not
// taken for "off".
template <typename Value>
bool wireChoice(const std::string& given, const ClientSettings& stored, const char* keyword,
                const std::string& host, std::optional<Value> (*parse)(std::string_view), Value& out,
                std::string& message) {
    if (!given.empty()) {
        out = *parse(given);
        return true;
    }
    std::optional<std::string> text = hostSetting(stored, keyword, host);
    if (!text)
        return true;
    std::optional<Value> value = parse(*text);
    if (!value) {
        message = "settings file: " + std::string(keyword) + " cannot be \"" + *text + "\"";
        return false;
    }
    out = *value;
    return true;
}

bool parseTunnels(ClientOptions& options, std::string& message) {
    for (bool remote : {false, true}) {
        for (const std::string& text : remote ? options.remoteForwards : options.localForwards) {
            std::string error;
            std::optional<PortForward> forward = parsePortForward(text, remote, error);
            if (!forward) {
                message = std::string(remote ? "-R " : "-L ") + text + ": " + error;
                return false;
            }
            (remote ? options.remoteTunnels : options.localTunnels).push_back(*forward);
        }
    }
    return true;
}

std::string loginName() {
    const char* user = std::getenv("USER");
    if (user != nullptr && user[0] != '\0')
        return user;
    const char* login = getlogin();
    return login != nullptr ? login : "";
}

std::string joinCommand(std::vector<std::string> words) {
    if (!words.empty() && words.front() == "--")
        words.erase(words.begin());
    std::string command;
    for (const std::string& word : words)
        command += (command.empty() ? "" : " ") + word;
    return command;
}

} // namespace

// -t and -T win over RequestTTY, which reads as ssh_config defines it: yes
// asks for a pty whenever stdin is a terminal, force always, no never.
SessionMode chooseSessionMode(const ClientOptions& options, bool stdinIsTerminal, bool stdoutIsTerminal) {
    bool flagged = options.forceTerminal || options.noTerminal;
    if (options.noTerminal || (!flagged && options.requestTty == "no"))
        return {false, false};
    bool force = options.forceTerminal || (!flagged && (options.requestTty == "force" ||
                                                        (options.requestTty == "yes" && stdinIsTerminal)));
    if (options.command)
        return {false, force};
    if (stdinIsTerminal && stdoutIsTerminal)
        return {true, true};
    return {false, force || stdinIsTerminal};
}

std::string cipherWarning(uint32_t cipher) {
    if (cipher == CIPHER_DES)
        return "single DES is weak: anyone who records the session can read it; use it only where nothing "
               "better is offered";
    if (cipher == CIPHER_NONE)
        return "no encryption: the password and the whole session cross the network readable";
    return "";
}

void wipeSecrets(ClientOptions& options) {
    for (std::string* secret : {&options.password, &options.passphrase}) {
        wipeString(*secret);
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
    CLI::App app{"SSH protocol 1.5 client: an interactive session with the terminal of the Kestrel1 handheld,\n"
                 "or a remote command with its input and output passed through.\n"
                 "Password: KESTREL_PASSWORD, --password-file, or asked on the terminal.",
                 "kestrel1"};
    // The first word after the destination starts the command.
    app.prefix_command();
    std::string target, user, cipher = "3des", passwordFile, camouflage, obscureTiming;
    int port = 0;
    bool vt52 = false;
    int scrollback = -1;
    app.add_option("destination", target, "[user@]host[:port], then the command and its arguments, if any "
                   "(none with --keygen)");
    app.add_option("-p,--port", port, "server port (default 22)")->check(CLI::Range(1, 65535));
    app.add_option("-l,--login", user, "user name (default: the stored one, else $USER)");
    app.add_option("-c,--cipher", cipher, "3des (default), blowfish, des (weak) or none")
        ->check(CLI::IsMember({"3des", "blowfish", "des", "none"}));
    app.add_flag("-t", options.forceTerminal, "request a pseudo-terminal even for a command or without a terminal");
    app.add_flag("-T", options.noTerminal, "never request a pseudo-terminal");
    app.add_flag("-v,--verbose", options.verbose, "show the session's status lines on stderr");
    app.add_flag("-q,--quiet", options.quiet, "no warnings");
    app.add_flag("--vt52", vt52, "VT52 terminal instead of VT100");
    app.add_option("--scrollback", scrollback, "scroll-back lines, 0 to 500")->check(CLI::Range(settings::MIN_SCROLLBACK_LINES, settings::MAX_SCROLLBACK_LINES));
    app.add_option("--password-file", passwordFile, "read the password from the first line of FILE");
    app.add_option("--connect-timeout", options.connectTimeout, "seconds to wait for the connection (default 15)")
        ->check(CLI::Range(0.1, MAX_CONNECT_TIMEOUT));
    app.add_flag("--accept-new-host-key", options.acceptNewHostKey,
                 "trust and remember a host key seen for the first time without asking");
    app.add_option("--password-camouflage", camouflage,
                   "hide the password's length among ignore messages (ignore, the default), by zero "
                   "padding (pad), or not (none)")
        ->check(CLI::IsMember({"ignore", "pad", "none"}));
    app.add_option("--obscure-keystroke-timing", obscureTiming,
                   "send typed keys on a fixed 20 ms clock with chaff in between (yes, the default, or no)")
        ->check(CLI::IsMember({"yes", "no"}));
    std::vector<std::string> configOptions;
    std::string configFile;
    app.add_flag("-C", options.compression, "ask the server to compress the session (zlib)");
    app.add_option("-F", configFile, "ssh_config file instead of ~/.ssh/config (none: no file)");
    app.add_option("-o", configOptions, "Keyword=value as in ssh_config; wins over the files")
        ->allow_extra_args(false); // one value each, so the destination is not taken for one
    IdentityArguments identity;
    addIdentityOptions(app, identity);
    app.add_option("-L", options.localForwards,
                   "[bind_address:]port:host:hostport: connections to the local port (on loopback unless an "
                   "address is given) go through the server to host:hostport; repeatable")
        ->allow_extra_args(false);
    app.add_option("-R", options.remoteForwards,
                   "port:host:hostport: connections to the server's port come through this client to "
                   "host:hostport; repeatable")
        ->allow_extra_args(false);
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
        message = "a destination is required";
        return ParseResult::Error;
    }
    if (!app.remaining().empty())
        options.command = joinCommand(app.remaining());
    if (options.forceTerminal && options.noTerminal) {
        message = "-t and -T exclude each other";
        return ParseResult::Error;
    }
    std::string targetUser;
    int targetPort = 0;
    if (!splitTarget(target, targetUser, options.host, targetPort)) {
        message = "not a host: " + target + " (expected [user@]host[:port])";
        return ParseResult::Error;
    }
    SshConfig config;
    if (!readSshConfig(configOptions, configFile, options.host, config, message))
        return ParseResult::Error;
    options.port = uint16_t(port != 0 ? port : targetPort != 0 ? targetPort : 22);
    options.user = !user.empty() ? user : targetUser;
    options.cipher = cipherCode(cipher);
    FlagsGiven given{options.port != 22 || port != 0 || targetPort != 0, !options.user.empty(),
                     app.count("--cipher") > 0, app.count("--connect-timeout") > 0, options.acceptNewHostKey};
    applySshConfig(config, given, options);
    if (!parseTunnels(options, message))
        return ParseResult::Error;
    if (options.user.empty())
        options.user = stored.userName.value_or(loginName());
    options.vt52 = vt52 || stored.useVt52;
    options.scrollbackLines = scrollback >= 0 ? uint32_t(scrollback) : stored.scrollbackLines;
    if (!wireChoice(camouflage, stored, SETTING_PASSWORD_CAMOUFLAGE, options.host, settings::camouflageFromText,
                    options.camouflage, message) ||
        !wireChoice(obscureTiming, stored, SETTING_OBSCURE_KEYSTROKE_TIMING, options.host, settings::yesNoFromText,
                    options.obscureKeystrokeTiming, message))
        return ParseResult::Error;
    if (!passwordFile.empty()) {
        if (!readPasswordFile(passwordFile, options.password, message))
            return ParseResult::Error;
        options.havePassword = true;
    } else if (takeSecretFromEnvironment("KESTREL_PASSWORD", options.password)) {
        options.havePassword = true;
    }
    if (options.password.size() > MAX_PASSWORD) {
        message = "password longer than " + std::to_string(MAX_PASSWORD) + " bytes";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

} // namespace kestrel::client
