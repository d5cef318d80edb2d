#include "shell/settings_store.h"

#include <vector>

namespace kestrel {

namespace {

// Windows CE ignores the access mask of the create-or-open call; the desktop
// enforces it, so the operations that ask for "no rights" there ask for
// reading and writing here.
constexpr REGSAM ACCESS_PLAIN = KEY_READ | KEY_WRITE;
constexpr REGSAM ACCESS_ALL = KEY_ALL_ACCESS;

class SettingsKey {
public:
    explicit SettingsKey(REGSAM access)
    {
        std::wstring path = widen(settings::KEY_PATH);
        std::wstring keyClass = widen(settings::KEY_CLASS);
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, keyClass.data(), 0, access, nullptr, &key_,
                            &disposition) != ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }
    ~SettingsKey()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    bool isOpen() const { return key_ != nullptr; }

    bool readDword(const char* name, DWORD& value) const
    {
        DWORD type = 0;
        DWORD size = sizeof(value);
        DWORD read = 0;
        if (key_ == nullptr ||
            RegQueryValueExW(key_, widen(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size) !=
                ERROR_SUCCESS ||
            size != sizeof(read)) {
            return false;
        }
        value = read;
        return true;
    }

    // capacity in wide characters, terminator included.
    bool readString(const char* name, wchar_t* out, std::size_t capacity) const
    {
        std::vector<wchar_t> buffer(capacity + 1, L'\0');
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(capacity * sizeof(wchar_t));
        if (key_ == nullptr || RegQueryValueExW(key_, widen(name).c_str(), nullptr, &type,
                                                reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) {
            return false;
        }
        // A value stored without its terminator still ends inside the buffer.
        buffer[std::min<std::size_t>(size / sizeof(wchar_t), capacity - 1)] = L'\0';
        wcsncpy(out, buffer.data(), capacity);
        out[capacity - 1] = L'\0';
        return true;
    }

    bool writeDword(const char* name, DWORD value) const
    {
        return key_ != nullptr && RegSetValueExW(key_, widen(name).c_str(), 0, REG_DWORD,
                                                 reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
    }

    bool writeString(const char* name, const std::wstring& text) const
    {
        auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        return key_ != nullptr && RegSetValueExW(key_, widen(name).c_str(), 0, REG_SZ,
                                                 reinterpret_cast<const BYTE*>(text.c_str()), bytes) == ERROR_SUCCESS;
    }

private:
    HKEY key_ = nullptr;
};

std::wstring comboText(HWND comboBox, int index)
{
    LRESULT length = SendMessageW(comboBox, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(comboBox, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(wcslen(text.c_str()));
    return text;
}

}  // namespace

std::wstring widen(const char* text, std::size_t limit)
{
    std::string bytes(text);
    if (bytes.size() > limit) {
        bytes.resize(limit);
    }
    if (bytes.empty()) {
        return {};
    }
    int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), length);
    return wide;
}

std::string narrow(const wchar_t* text, std::size_t limit)
{
    std::wstring wide(text);
    if (wide.size() > limit) {
        wide.resize(limit);
    }
    if (wide.empty()) {
        return {};
    }
    int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), length, nullptr,
                        nullptr);
    return bytes;
}

bool loadTerminalSettings(bool& useVt52, std::int32_t& scrollbackLines)
{
    SettingsKey key(ACCESS_PLAIN);
    DWORD type = 0;
    DWORD lines = 0;
    if (!key.readDword(settings::VALUE_TERMINAL_TYPE.name, type) ||
        !key.readDword(settings::VALUE_SCROLLBACK_LINES.name, lines)) {
        return false;
    }
    useVt52 = settings::useVt52FromStored(type);
    scrollbackLines = settings::clampScrollbackLines(static_cast<std::int32_t>(lines));
    return true;
}

WireHidingSettings loadWireHidingSettings()
{
    SettingsKey key(ACCESS_PLAIN);
    WireHidingSettings wire;
    wchar_t text[settings::CAMOUFLAGE_TEXT_LIMIT] = {};
    if (key.readString(settings::VALUE_PASSWORD_CAMOUFLAGE.name, text, settings::CAMOUFLAGE_TEXT_LIMIT)) {
        wire.camouflage = settings::camouflageFromText(narrow(text)).value_or(wire.camouflage);
    }
    DWORD obscure = 1;
    if (key.readDword(settings::VALUE_OBSCURE_KEYSTROKE_TIMING.name, obscure)) {
        wire.obscureKeystrokeTiming = obscure != 0;
    }
    return wire;
}

void saveTerminalSettings(std::uint32_t terminalType, std::int32_t scrollbackLines)
{
    SettingsKey key(ACCESS_PLAIN);
    key.writeDword(settings::VALUE_TERMINAL_TYPE.name, terminalType);
    key.writeDword(settings::VALUE_SCROLLBACK_LINES.name, static_cast<DWORD>(scrollbackLines));
}

// Every face the platform lists fits, so a chosen face always comes back.
static_assert(settings::FONT_FACE_CAPACITY == LF_FACESIZE);

bool loadFontSettings(FontSettings& font)
{
    SettingsKey key(ACCESS_ALL);
    FontSettings read;
    DWORD height = 0;
    DWORD weight = 0;
    if (!key.readString(settings::VALUE_FONT_NAME.name, read.face, settings::FONT_FACE_CAPACITY) ||
        !key.readDword(settings::VALUE_FONT_SIZE.name, height) ||
        !key.readDword(settings::VALUE_FONT_WEIGHT.name, weight)) {
        return false;
    }
    read.height = static_cast<LONG>(height);
    read.weight = static_cast<LONG>(weight);
    font = read;
    return true;
}

bool saveFontSettings(const FontSettings& font)
{
    SettingsKey key(ACCESS_ALL);
    if (!key.writeString(settings::VALUE_FONT_NAME.name, font.face)) {
        return false;
    }
    bool heightWritten = key.writeDword(settings::VALUE_FONT_SIZE.name, static_cast<DWORD>(font.height));
    bool weightWritten = key.writeDword(settings::VALUE_FONT_WEIGHT.name, static_cast<DWORD>(font.weight));
    return heightWritten && weightWritten;
}

int loadServerList(HWND comboBox)
{
    SettingsKey key(ACCESS_PLAIN);
    DWORD count = 0;
    if (!key.readDword(settings::VALUE_SERVER_COUNT.name, count)) {
        return 0;
    }
    count = std::min<DWORD>(count, settings::MAX_SERVER_COUNT);
    int added = 0;
    for (DWORD index = 0; index < count; ++index) {
        wchar_t name[settings::SERVER_NAME_CAPACITY] = {};
        if (key.readString(settings::serverValueName(index).c_str(), name, settings::SERVER_NAME_CAPACITY) &&
            name[0] != L'\0') {
            SendMessageW(comboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
            ++added;
        }
    }
    return added;
}

void saveServerList(HWND comboBox)
{
    wchar_t typed[settings::SERVER_NAME_CAPACITY] = {};
    GetWindowTextW(comboBox, typed, static_cast<int>(settings::SERVER_NAME_CAPACITY));
    if (SendMessageW(comboBox, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(typed)) ==
        CB_ERR) {
        SendMessageW(comboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(typed));
    }
    auto entries = static_cast<int>(SendMessageW(comboBox, CB_GETCOUNT, 0, 0));
    if (entries <= 0) {
        return;
    }
    SettingsKey key(ACCESS_PLAIN);
    if (!key.isOpen()) {
        return;
    }
    DWORD written = 0;
    for (int index = 0; index < entries; ++index) {
        std::wstring name = comboText(comboBox, index);
        if (!name.empty() && key.writeString(settings::serverValueName(written).c_str(), name)) {
            ++written;
        }
    }
    key.writeDword(settings::VALUE_SERVER_COUNT.name, written);
}

std::wstring readUserNameWithDefaults(const char* userName, const char* portText)
{
    SettingsKey key(ACCESS_PLAIN);
    // 160 bytes of room, as for server names.
    wchar_t stored[settings::SERVER_NAME_CAPACITY] = {};
    std::wstring shown;
    if (key.readString(settings::VALUE_USER_NAME.name, stored, settings::SERVER_NAME_CAPACITY)) {
        shown = stored;
    } else {
        shown = widen(userName, settings::USER_NAME_LIMIT + 1);
        key.writeString(settings::VALUE_USER_NAME.name, shown);
    }
    wchar_t port[settings::SERVER_NAME_CAPACITY] = {};
    if (!key.readString(settings::VALUE_SERVER_PORT.name, port, settings::SERVER_NAME_CAPACITY)) {
        key.writeString(settings::VALUE_SERVER_PORT.name, widen(portText, 8));
    }
    return shown;
}

void writeUserNameAndPort(const char* userName, const char* portText)
{
    SettingsKey key(ACCESS_PLAIN);
    key.writeString(settings::VALUE_SERVER_PORT.name, widen(portText, settings::PORT_TEXT_LIMIT));
    key.writeString(settings::VALUE_USER_NAME.name, widen(userName, settings::USER_NAME_LIMIT));
}

}  // namespace kestrel
