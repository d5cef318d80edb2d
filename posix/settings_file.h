// The client's settings in a text file under $XDG_CONFIG_HOME/kestrel1/: one
// "Name=value" line per value, with the handheld store's value names, types
// and defaults, and the handheld store's rules for reading them back
// (engine/settings_schema.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::client {

// A file larger than this, or a line longer, is not one this program wrote.
constexpr std::size_t SETTINGS_FILE_LIMIT = 64 * 1024;
constexpr std::size_t SETTINGS_LINE_LIMIT = 1024;

// What the rest of the client uses, defaults and bounds applied.
struct ClientSettings {
    std::vector<std::string> servers;
    std::optional<std::string> userName; // empty when never stored
    std::string portText;
    bool useVt52;
    uint32_t scrollbackLines;
    // "PasswordCamouflage" and "ObscureKeystrokeTiming", each for every host
    // and as "NAME@HOST" for one: name -> text as stored.
    std::map<std::string, std::string> wireHiding;
};

// The stored text of a wire-hiding keyword for this host: its own value,
// else the one for all hosts.
std::optional<std::string> hostSetting(const ClientSettings& settings, const std::string& keyword,
                                       const std::string& host);

class SettingsFile {
public:
    explicit SettingsFile(std::string path) : path_(std::move(path)) {}
    // $XDG_CONFIG_HOME/kestrel1/settings, or ~/.config/kestrel1/settings.
    static std::string defaultPath();

    // A missing or unreadable file leaves every value missing.
    void load();
    // Writes the whole file (creating its folder); false when it cannot.
    bool save() const;

    std::optional<std::string> getString(const std::string& name) const;
    // Missing, or not a decimal number that fits 32 bits.
    std::optional<uint32_t> getDword(const std::string& name) const;
    void setString(const std::string& name, const std::string& value);
    void setDword(const std::string& name, uint32_t value);
    void erase(const std::string& name) { values_.erase(name); }
    // Every value named keyword or keyword@anything.
    void collect(const std::string& keyword, std::map<std::string, std::string>& into) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::map<std::string, std::string> values_;
};

ClientSettings readClientSettings(const SettingsFile& file);
// What the connect dialog stores on OK: the server (added to the sorted list
// unless already there, letter case ignored), the user name and the port.
void rememberConnection(SettingsFile& file, const std::string& server, const std::string& userName,
                        const std::string& portText);

} // namespace kestrel::client
