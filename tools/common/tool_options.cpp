#include "tools/common/tool_options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "engine/secret_text.h"

namespace kestrel::tools {

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char next = text[++i];
        switch (next) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'e': out.push_back('\x1b'); break;
        case '\\': out.push_back('\\'); break;
        default: out.push_back('\\'); out.push_back(next); break;
        }
    }
    return out;
}

bool readPasswordFile(const std::string& path, std::string& password) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string text(PASSWORD_FILE_LIMIT + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(std::size_t(in.gcount()));
    bool fits = text.size() <= PASSWORD_FILE_LIMIT;
    if (fits)
        password = text.substr(0, text.find_first_of("\r\n"));
    wipeString(text);
    return fits;
}

namespace {

bool number(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

bool cipherNumber(const char* name, uint32_t& cipher) {
    if (std::strcmp(name, "3des") == 0)
        cipher = 3;
    else if (std::strcmp(name, "blowfish") == 0)
        cipher = 6;
    else if (std::strcmp(name, "none") == 0)
        cipher = 0;
    else
        return false;
    return true;
}

} // namespace

OptionResult takeCommonOption(const std::string& arg, const char* value, CommonOptions& options) {
    double n = 0;
    bool good = true;
    if (arg == "--host")
        options.host = value;
    else if (arg == "--port") {
        good = number(value, 1, 65535, n) && double(long(n)) == n;
        if (good) {
            options.port = uint16_t(n);
            options.portText = value;
        }
    } else if (arg == "--user")
        options.user = value;
    else if (arg == "--password-file")
        good = options.passwordGiven = readPasswordFile(value, options.password);
    else if (arg == "--cipher")
        good = options.cipherGiven = cipherNumber(value, options.cipher);
    else if (arg == "--timeout") {
        good = number(value, 0.1, 86400, n);
        if (good)
            options.timeoutSeconds = n;
    } else if (arg == "--send")
        options.script.push_back({true, unescape(value)});
    else if (arg == "--wait-for")
        options.script.push_back({false, unescape(value)});
    else
        return OptionResult::NotMine;
    return good ? OptionResult::Taken : OptionResult::Bad;
}

bool finishCommonOptions(CommonOptions& options, std::string& error) {
    if (!options.passwordGiven) {
        if (const char* fromEnvironment = std::getenv("KESTREL_PASSWORD"))
            options.password = fromEnvironment;
    }
    if (options.host.empty() || options.user.empty()) {
        error = "--host and --user are required";
        return false;
    }
    return true;
}

} // namespace kestrel::tools
