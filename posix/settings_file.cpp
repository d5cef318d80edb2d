#include "posix/settings_file.h"

#include <algorithm>
#include <charconv>
#include <strings.h>

#include "posix/client_files.h"
#include "engine/settings_schema.h"

namespace kestrel::client {

using namespace kestrel::settings;

namespace {

bool lessIgnoringCase(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

// Values are single lines; a line break in one would forge the next value.
bool storable(const std::string& text) {
    return text.find_first_of("\r\n") == std::string::npos && text.size() < SETTINGS_LINE_LIMIT;
}

} // namespace

std::string SettingsFile::defaultPath() { return xdgFile("XDG_CONFIG_HOME", ".config", "settings"); }

void SettingsFile::load() {
    values_.clear();
    std::optional<std::string> text = readSmallFile(path_, SETTINGS_FILE_LIMIT);
    if (!text)
        return;
    std::size_t at = 0;
    while (at < text->size()) {
        std::size_t end = text->find('\n', at);
        if (end == std::string::npos)
            end = text->size();
        std::string line = text->substr(at, end - at);
        at = end + 1;
        std::size_t equals = line.find('=');
        if (line.size() > SETTINGS_LINE_LIMIT || line.empty() || line[0] == '#' || equals == std::string::npos)
            continue;
        values_[line.substr(0, equals)] = line.substr(equals + 1);
    }
}

bool SettingsFile::save() const {
    std::string text = "# kestrel1 settings (value names as on the handheld)\n";
    for (const auto& [name, value] : values_)
        text += name + "=" + value + "\n";
    return replaceFile(path_, text, 0600);
}

std::optional<std::string> SettingsFile::getString(const std::string& name) const {
    auto found = values_.find(name);
    if (found == values_.end())
        return std::nullopt;
    return found->second;
}

std::optional<uint32_t> SettingsFile::getDword(const std::string& name) const {
    std::optional<std::string> text = getString(name);
    if (!text || text->empty())
        return std::nullopt;
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size())
        return std::nullopt;
    return value;
}

void SettingsFile::setString(const std::string& name, const std::string& value) {
    if (storable(value))
        values_[name] = value;
}

void SettingsFile::setDword(const std::string& name, uint32_t value) { values_[name] = std::to_string(value); }

ClientSettings readClientSettings(const SettingsFile& file) {
    ClientSettings settings{{}, file.getString(VALUE_USER_NAME.name), DEFAULT_PORT_TEXT, DEFAULT_USE_VT52,
                            uint32_t(DEFAULT_SCROLLBACK_LINES), {}};
    if (std::optional<std::string> port = file.getString(VALUE_SERVER_PORT.name); port && !port->empty())
        settings.portText = *port;
    // Both terminal values or neither, as the handheld reads them.
    std::optional<uint32_t> type = file.getDword(VALUE_TERMINAL_TYPE.name);
    std::optional<uint32_t> lines = file.getDword(VALUE_SCROLLBACK_LINES.name);
    if (type && lines) {
        settings.useVt52 = useVt52FromStored(*type);
        settings.scrollbackLines = uint32_t(clampScrollbackLines(*lines));
    }
    for (const char* keyword : {SETTING_PASSWORD_CAMOUFLAGE, SETTING_OBSCURE_KEYSTROKE_TIMING})
        file.collect(keyword, settings.wireHiding);
    uint32_t count = std::min(file.getDword(VALUE_SERVER_COUNT.name).value_or(0), MAX_SERVER_COUNT);
    for (uint32_t i = 0; i < count; ++i) {
        std::optional<std::string> name = file.getString(serverValueName(i));
        if (name && !name->empty() && name->size() <= SERVER_NAME_LIMIT)
            settings.servers.push_back(*name);
    }
    return settings;
}

void SettingsFile::collect(const std::string& keyword, std::map<std::string, std::string>& into) const {
    for (auto it = values_.lower_bound(keyword); it != values_.end() && it->first.compare(0, keyword.size(), keyword) == 0; ++it)
        if (it->first.size() == keyword.size() || it->first[keyword.size()] == '@')
            into.insert(*it);
}

std::optional<std::string> hostSetting(const ClientSettings& settings, const std::string& keyword,
                                       const std::string& host) {
    for (const std::string& name : {keyword + "@" + host, keyword}) {
        auto found = settings.wireHiding.find(name);
        if (found != settings.wireHiding.end())
            return found->second;
    }
    return std::nullopt;
}

void rememberConnection(SettingsFile& file, const std::string& server, const std::string& userName,
                        const std::string& portText) {
    std::vector<std::string> servers = readClientSettings(file).servers;
    bool known = std::any_of(servers.begin(), servers.end(),
                             [&](const std::string& s) { return strcasecmp(s.c_str(), server.c_str()) == 0; });
    if (!known && !server.empty() && server.size() <= SERVER_NAME_LIMIT && servers.size() < MAX_SERVER_COUNT)
        servers.push_back(server);
    std::stable_sort(servers.begin(), servers.end(), lessIgnoringCase);
    uint32_t stale = std::min(file.getDword(VALUE_SERVER_COUNT.name).value_or(0), MAX_SERVER_COUNT);
    for (uint32_t i = 0; i < stale; ++i)
        file.erase(serverValueName(i));
    for (uint32_t i = 0; i < servers.size(); ++i)
        file.setString(serverValueName(i), servers[i]);
    file.setDword(VALUE_SERVER_COUNT.name, uint32_t(servers.size()));
    if (userName.size() <= USER_NAME_LIMIT)
        file.setString(VALUE_USER_NAME.name, userName);
    if (portText.size() <= PORT_TEXT_LIMIT)
        file.setString(VALUE_SERVER_PORT.name, portText);
}

} // namespace kestrel::client
