#include "posix/ssh_config.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <glob.h>
#include <iterator>

namespace kestrel::client {

namespace {

enum class Kind { Text, Port, YesNo, Level, Seconds, Cipher, RequestTty, HostKeyChecking, KeystrokeTiming, List, Pair };

struct Keyword {
    const char* name; // lower case
    Kind kind;
};

constexpr Keyword KEYWORDS[] = {
    {"hostname", Kind::Text},
    {"port", Kind::Port},
    {"user", Kind::Text},
    {"tcpkeepalive", Kind::YesNo},
    {"cipher", Kind::Cipher},
    {"compression", Kind::YesNo},
    {"compressionlevel", Kind::Level},
    {"connecttimeout", Kind::Seconds},
    {"requesttty", Kind::RequestTty},
    {"stricthostkeychecking", Kind::HostKeyChecking},
    {"userknownhostsfile", Kind::Text},
    {"obscurekeystroketiming", Kind::KeystrokeTiming},
    {"identityfile", Kind::List},
    {"localforward", Kind::Pair},
    {"remoteforward", Kind::Pair},
};

// Longer than any network needs; the command line has the same ceiling.
constexpr long MAX_CONFIG_TIMEOUT = 3600;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

const Keyword* findKeyword(const std::string& name) {
    for (const Keyword& k : KEYWORDS)
        if (name == k.name)
            return &k;
    return nullptr;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// "Keyword args", "Keyword=args" or "Keyword = args"; arguments split at
// blanks, with double quotes around one that holds blanks. False for an
// unterminated quote.
bool splitLine(const std::string& line, std::string& keyword, std::vector<std::string>& arguments) {
    std::size_t at = 0, end = line.size();
    while (at < end && isSpace(line[at]))
        ++at;
    std::size_t start = at;
    while (at < end && !isSpace(line[at]) && line[at] != '=')
        ++at;
    keyword = lower(line.substr(start, at - start));
    while (at < end && isSpace(line[at]))
        ++at;
    if (at < end && line[at] == '=')
        ++at;
    for (;;) {
        while (at < end && isSpace(line[at]))
            ++at;
        if (at >= end)
            return true;
        std::string argument;
        if (line[at] == '"') {
            std::size_t close = line.find('"', at + 1);
            if (close == std::string::npos)
                return false;
            argument = line.substr(at + 1, close - at - 1);
            at = close + 1;
        } else {
            while (at < end && !isSpace(line[at]))
                argument.push_back(line[at++]);
        }
        arguments.push_back(std::move(argument));
    }
}

bool wholeNumber(const std::string& text, long low, long high) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long value = std::stol(text);
    return value >= low && value <= high;
}

bool oneOf(const std::string& value, std::initializer_list<const char*> choices) {
    std::string folded = lower(value);
    return std::any_of(choices.begin(), choices.end(), [&](const char* c) { return folded == c; });
}

bool validValue(Kind kind, const std::string& value) {
    switch (kind) {
    case Kind::Port:
        return wholeNumber(value, 1, 65535);
    case Kind::YesNo:
        return oneOf(value, {"yes", "no"});
    case Kind::Level:
        return wholeNumber(value, 1, 9);
    case Kind::Seconds:
        return wholeNumber(value, 1, MAX_CONFIG_TIMEOUT);
    case Kind::Cipher:
        return oneOf(value, {"3des", "blowfish", "des", "none"});
    case Kind::RequestTty:
        return oneOf(value, {"yes", "no", "force", "auto"});
    case Kind::HostKeyChecking:
        return oneOf(value, {"yes", "no", "off", "ask", "accept-new"});
    case Kind::KeystrokeTiming:
        return oneOf(value, {"yes", "no"}) ||
               (lower(value).rfind("interval:", 0) == 0 && wholeNumber(value.substr(9), 1, 1000));
    default:
        return !value.empty();
    }
}

std::string where(const std::string& name, std::size_t line) {
    return name + " line " + std::to_string(line);
}

} // namespace

const std::string* SshConfig::find(const std::string& keyword) const {
    auto found = values.find(keyword);
    return found == values.end() ? nullptr : &found->second;
}

bool matchPattern(const std::string& text, const std::string& pattern) {
    // Iterative wildcard match: on a mismatch, let the last * take one more
    // character (linear in practice, never exponential).
    std::size_t t = 0, p = 0, starP = std::string::npos, starT = 0;
    auto same = [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); };
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && same(pattern[p], text[t])))) {
            ++t, ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++, starT = t;
        } else if (starP != std::string::npos) {
            p = starP + 1, t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool matchHostPatterns(const std::string& host, const std::vector<std::string>& patterns) {
    bool matched = false;
    for (const std::string& pattern : patterns) {
        // A list may also come comma-separated on one argument.
        std::size_t start = 0;
        while (start <= pattern.size()) {
            std::size_t comma = std::min(pattern.find(',', start), pattern.size());
            std::string one = pattern.substr(start, comma - start);
            start = comma + 1;
            if (one.empty())
                continue;
            bool negated = one[0] == '!';
            if (matchPattern(host, negated ? one.substr(1) : one)) {
                if (negated)
                    return false;
                matched = true;
            }
        }
    }
    return matched;
}

bool SshConfigReader::addOption(const std::string& text, std::string& error) {
    std::string keyword;
    std::vector<std::string> arguments;
    if (!splitLine(text, keyword, arguments) || keyword.empty()) {
        error = "-o " + text + ": not Keyword=value";
        return false;
    }
    if (!apply(keyword, arguments, error)) {
        error = "-o " + text + ": " + error;
        return false;
    }
    return true;
}

bool SshConfigReader::readFile(const std::string& path, bool required, std::string& error) {
    return readFileAt(path, required, 0, error);
}

bool SshConfigReader::readText(const std::string& text, const std::string& name, std::string& error) {
    return parse(text, name, 0, error);
}

bool SshConfigReader::readFileAt(const std::string& path, bool required, int depth, std::string& error) {
    if (++filesRead_ > MAX_CONFIG_FILES) {
        error = path + ": more than " + std::to_string(MAX_CONFIG_FILES) + " configuration files";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (required)
            error = "cannot read the configuration file " + path;
        return !required;
    }
    std::string text;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        text.append(chunk, std::size_t(file.gcount()));
        if (text.size() > CONFIG_FILE_LIMIT) {
            error = path + ": larger than " + std::to_string(CONFIG_FILE_LIMIT) + " bytes";
            return false;
        }
    }
    return parse(text, path, depth, error);
}

bool SshConfigReader::parse(const std::string& text, const std::string& name, int depth, std::string& error) {
    // Lines before the first Host line apply to every host.
    bool active = true;
    bool inMatch = false;
    std::size_t number = 0, start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        std::string keyword;
        std::vector<std::string> arguments;
        if (!splitLine(line, keyword, arguments)) {
            error = where(name, number) + ": unterminated quote";
            return false;
        }
        if (keyword.empty() || keyword[0] == '#')
            continue;
        if (keyword == "host") {
            if (arguments.empty()) {
                error = where(name, number) + ": Host needs a pattern";
                return false;
            }
            active = matchHostPatterns(host_, arguments);
            inMatch = false;
        } else if (keyword == "match") {
            // Its conditions are not evaluated, so none of its settings may
            // leak into the block before it.
            if (!matchWarned_)
                config_.warnings.push_back(where(name, number) +
                                           ": Match blocks are not evaluated; their settings are ignored");
            matchWarned_ = true;
            inMatch = true;
        } else if (keyword == "include") {
            if (arguments.empty()) {
                error = where(name, number) + ": Include needs a file";
                return false;
            }
            if (active && !inMatch && !include(arguments, depth + 1, error))
                return false;
        } else if (const Keyword* known = findKeyword(keyword)) {
            std::string problem;
            if (active && !inMatch) {
                if (!apply(keyword, arguments, problem)) {
                    error = where(name, number) + ": " + problem;
                    return false;
                }
            } else if (arguments.empty() || !validValue(known->kind, arguments[0])) {
                // A block that does not apply is still checked: the mistake
                // would bite on the day it does.
                error = where(name, number) + ": bad value for " + line.substr(line.find_first_not_of(" \t"));
                return false;
            }
        }
    }
    return true;
}

bool SshConfigReader::include(const std::vector<std::string>& arguments, int depth, std::string& error) {
    if (depth > MAX_INCLUDE_DEPTH) {
        error = "Include nested deeper than " + std::to_string(MAX_INCLUDE_DEPTH) + " files";
        return false;
    }
    for (const std::string& argument : arguments) {
        std::string pattern = argument;
        if (pattern.rfind("~/", 0) == 0)
            pattern = home_ + "/" + pattern.substr(2);
        else if (pattern.empty() || pattern[0] != '/')
            pattern = sshFolder_ + "/" + pattern;
        glob_t found{};
        // A pattern that names nothing is not an error: the folder may be empty.
        if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
            std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
            globfree(&found);
            for (const std::string& path : paths)
                if (!readFileAt(path, false, depth, error))
                    return false;
        } else {
            globfree(&found);
        }
    }
    return true;
}

bool SshConfigReader::apply(const std::string& keyword, const std::vector<std::string>& arguments,
                            std::string& error) {
    const Keyword* known = findKeyword(keyword);
    if (known == nullptr)
        return true;
    if (arguments.empty()) {
        error = "missing value";
        return false;
    }
    const std::string& value = arguments[0];
    if (!validValue(known->kind, value)) {
        error = "bad value " + value;
        return false;
    }
    if (known->kind == Kind::List || known->kind == Kind::Pair) {
        std::string joined = value;
        for (std::size_t i = 1; i < arguments.size(); ++i)
            joined += " " + arguments[i];
        config_.lists[keyword].push_back(joined);
        return true;
    }
    if (arguments.size() > 1 && keyword != "userknownhostsfile") {
        error = "more than one value";
        return false;
    }
    config_.values.emplace(keyword, known->kind == Kind::Text ? value : lower(value));
    return true;
}

} // namespace kestrel::client
