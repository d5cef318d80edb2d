#include "posix/config_options.h"

#include <cstdlib>

#include "crypto/cipher_context.h"

namespace kestrel::client {

namespace {

// The protocol's number for single DES.

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "";
}

// %h in HostName stands for the host as typed, %% for a percent sign.
std::string expandHostName(const std::string& pattern, const std::string& typed) {
    std::string name;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && (pattern[i + 1] == 'h' || pattern[i + 1] == '%')) {
            name += pattern[++i] == 'h' ? typed : "%";
        } else {
            name.push_back(pattern[i]);
        }
    }
    return name;
}

} // namespace

std::string expandHome(const std::string& path) {
    if (path == "~")
        return homeFolder();
    if (path.rfind("~/", 0) == 0)
        return homeFolder() + path.substr(1);
    return path;
}

uint32_t cipherCode(const std::string& name) {
    if (name == "blowfish")
        return CIPHER_BLOWFISH;
    if (name == "none")
        return CIPHER_NONE;
    if (name == "des")
        return CIPHER_DES;
    return CIPHER_TRIPLE_DES;
}

bool readSshConfig(const std::vector<std::string>& dashO, const std::string& file,
                   const std::string& destination, SshConfig& config, std::string& message) {
    std::string home = homeFolder();
    SshConfigReader reader(destination, home, config);
    for (const std::string& option : dashO)
        if (!reader.addOption(option, message))
            return false;
    if (file == "none")
        return true;
    if (!file.empty())
        return reader.readFile(expandHome(file), true, message);
    return home.empty() || reader.readFile(home + "/.ssh/config", false, message);
}

void applySshConfig(const SshConfig& config, const FlagsGiven& given, ClientOptions& options) {
    auto value = [&](const char* keyword) { return config.find(keyword); };
    const std::string typed = options.host;
    if (const std::string* name = value("hostname"))
        options.host = expandHostName(*name, typed);
    if (const std::string* port = value("port"); port && !given.port)
        options.port = uint16_t(std::atoi(port->c_str()));
    if (const std::string* user = value("user"); user && !given.user)
        options.user = *user;
    if (const std::string* cipher = value("cipher"); cipher && !given.cipher)
        options.cipher = cipherCode(*cipher);
    if (const std::string* seconds = value("connecttimeout"); seconds && !given.connectTimeout)
        options.connectTimeout = std::atof(seconds->c_str());
    if (const std::string* checking = value("stricthostkeychecking"); checking && !given.acceptNewHostKey)
        options.hostKeyChecking = *checking == "yes"   ? HostKeyChecking::Yes
                                  : *checking == "ask" ? HostKeyChecking::Ask
                                                       : HostKeyChecking::AcceptNew;
    if (given.acceptNewHostKey)
        options.hostKeyChecking = HostKeyChecking::AcceptNew;
    options.acceptNewHostKey = options.hostKeyChecking == HostKeyChecking::AcceptNew;
    if (const std::string* compression = value("compression"); compression && !options.compression)
        options.compression = *compression == "yes";
    if (const std::string* level = value("compressionlevel"))
        options.compressionLevel = std::atoi(level->c_str());
    if (const std::string* keepAlive = value("tcpkeepalive"))
        options.tcpKeepAlive = *keepAlive == "yes";
    if (const std::string* file = value("userknownhostsfile"))
        options.knownHostsFile = expandHome(*file);
    if (const std::string* tty = value("requesttty"))
        options.requestTty = *tty;
    if (const std::string* timing = value("obscurekeystroketiming"))
        options.obscureKeystrokeTiming = *timing != "no";
    auto list = [&](const char* keyword) {
        auto found = config.lists.find(keyword);
        return found == config.lists.end() ? std::vector<std::string>{} : found->second;
    };
    // -i comes first; IdentityFile lines are tried after it.
    for (const std::string& identity : list("identityfile"))
        options.identityFiles.push_back(expandHome(identity));
    for (const std::string& forward : list("localforward"))
        options.localForwards.push_back(forward);
    for (const std::string& forward : list("remoteforward"))
        options.remoteForwards.push_back(forward);
    options.warnings.insert(options.warnings.end(), config.warnings.begin(), config.warnings.end());
}

} // namespace kestrel::client
