// The registry after each settings operation, read back raw.
#include "shell_fixture.h"

#include "shell/settings_store.h"

namespace kestrel::test {
namespace {

constexpr wchar_t KEY[] = L"Software\\Orrin Software\\Kestrel1";

// The raw value: its type and bytes; REG_NONE when missing.
std::pair<DWORD, std::vector<BYTE>> readRaw(const wchar_t* name)
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    std::vector<BYTE> bytes(512);
    size = static_cast<DWORD>(bytes.size());
    if (RegGetValueW(HKEY_CURRENT_USER, KEY, name, RRF_RT_ANY | RRF_NOEXPAND, &type, bytes.data(), &size) != 0) {
        type = REG_NONE;
    }
    bytes.resize(type == REG_NONE ? 0 : size);
    return {type, bytes};
}

std::wstring storedString(const wchar_t* name)
{
    auto [type, bytes] = readRaw(name);
    // The terminator's two bytes are part of the stored length.
    if (type != REG_SZ || bytes.size() < 2 || bytes.size() % 2 != 0 || bytes.back() != 0) {
        return L"<missing or malformed>";
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2 - 1);
}

long storedDword(const wchar_t* name)
{
    auto [type, bytes] = readRaw(name);
    return type == REG_DWORD && bytes.size() == 4 ? *reinterpret_cast<const LONG*>(bytes.data()) : -99999;
}

void writeRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, KEY, name, type, data, size);
}
void writeDword(const wchar_t* name, DWORD value) { writeRaw(name, REG_DWORD, &value, 4); }
void writeString(const wchar_t* name, const std::wstring& text)
{
    writeRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

struct ComboBox {
    HWND window = CreateWindowExW(0, L"COMBOBOX", L"", WS_POPUP | CBS_DROPDOWN | CBS_SORT, 0, 0, 100, 100, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    ~ComboBox() { DestroyWindow(window); }
    int count() const { return static_cast<int>(SendMessageW(window, CB_GETCOUNT, 0, 0)); }
};

struct SettingsTest : ::testing::Test {
    PrivateRegistry registry;
};

TEST_F(SettingsTest, TerminalSettingsNeedBothValuesAndAreClamped)
{
    bool vt52 = false;
    std::int32_t lines = -1;
    EXPECT_FALSE(loadTerminalSettings(vt52, lines));
    writeDword(L"CETermType", 1);
    EXPECT_FALSE(loadTerminalSettings(vt52, lines));
    EXPECT_EQ(lines, -1);
    saveTerminalSettings(1, 250);
    EXPECT_EQ(storedDword(L"CETermType"), 1);
    EXPECT_EQ(storedDword(L"CENumScrollBackLines"), 250);
    ASSERT_TRUE(loadTerminalSettings(vt52, lines));
    EXPECT_TRUE(vt52);
    EXPECT_EQ(lines, 250);
    writeDword(L"CENumScrollBackLines", 0xFFFFFFF0u);  // negative when signed
    writeDword(L"CETermType", 0);
    ASSERT_TRUE(loadTerminalSettings(vt52, lines));
    EXPECT_FALSE(vt52);
    EXPECT_EQ(lines, 0);
    writeDword(L"CENumScrollBackLines", 9999);
    ASSERT_TRUE(loadTerminalSettings(vt52, lines));
    EXPECT_EQ(lines, 500);
    // The key carries the class string it was created with.
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, KEY, 0, KEY_READ, &key);
    wchar_t keyClass[16] = {};
    DWORD classLength = 16;
    RegQueryInfoKeyW(key, keyClass, &classLength, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(key);
    EXPECT_STREQ(keyClass, L"REG_SZ");
}

// Face names up to the platform's 31 characters come back whole with their
// size and weight; a longer stored name restores nothing.
TEST_F(SettingsTest, FontFacesUpTo31CharactersRestoreWhole)
{
    const std::wstring longest(31, L'W');
    for (const std::wstring& face : {std::wstring(L"Courier"), std::wstring(L"Liberation Mon"),
                                     std::wstring(L"Liberation Mono"), std::wstring(L"DejaVu Sans Mono"), longest}) {
        SCOPED_TRACE(std::string(face.begin(), face.end()));
        FontSettings font;
        lstrcpynW(font.face, face.c_str(), settings::FONT_FACE_CAPACITY);
        font.height = -13;
        font.weight = 700;
        ASSERT_TRUE(saveFontSettings(font));
        EXPECT_EQ(storedString(L"CEChannelFontName"), face);
        EXPECT_EQ(storedDword(L"CEChannelFontSize"), -13);
        EXPECT_EQ(storedDword(L"CEChannelFontWeight"), 700);
        FontSettings read;
        ASSERT_TRUE(loadFontSettings(read));
        EXPECT_EQ(std::wstring(read.face), face);
        EXPECT_EQ(read.height, -13);
        EXPECT_EQ(read.weight, 700);
    }
    writeString(L"CEChannelFontName", longest + L"W");
    FontSettings untouched;
    EXPECT_FALSE(loadFontSettings(untouched));
    EXPECT_STREQ(untouched.face, L"");
    EXPECT_EQ(untouched.height, -8);
}

TEST_F(SettingsTest, ServerListSaveDeleteAndLoad)
{
    {
        ComboBox box;
        for (const wchar_t* name : {L"gamma.example", L"alpha.example"}) {
            SendMessageW(box.window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        }
        SetWindowTextW(box.window, L"beta.example");  // typed, not yet a entry
        saveServerList(box.window);
        EXPECT_EQ(storedDword(L"CENumservers"), 3);
        EXPECT_EQ(storedString(L"CEServer1"), L"beta.example");

        SendMessageW(box.window, CB_DELETESTRING, 1, 0);
        SetWindowTextW(box.window, L"");
        saveServerList(box.window);
    }
    EXPECT_EQ(storedDword(L"CENumservers"), 2);
    EXPECT_EQ(storedString(L"CEServer0"), L"alpha.example");
    EXPECT_EQ(storedString(L"CEServer1"), L"gamma.example");
    EXPECT_EQ(storedString(L"CEServer2"), L"gamma.example");  // stale, never read

    writeDword(L"CENumservers", 3);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, KEY, L"CEServer1");
    ComboBox loaded;
    EXPECT_EQ(loadServerList(loaded.window), 2);
    EXPECT_EQ(loaded.count(), 2);

    // A damaged count does not make the dialog read four billion names.
    writeDword(L"CENumservers", 0xFFFFFFFFu);
    ComboBox damaged;
    EXPECT_EQ(loadServerList(damaged.window), 2);
}

TEST_F(SettingsTest, FirstConnectDialogCreatesUserNameAndPort)
{
    EXPECT_EQ(readUserNameWithDefaults("username", "22"), L"username");
    EXPECT_EQ(storedString(L"CEUsername"), L"username");
    EXPECT_EQ(storedString(L"CEServerPort"), L"22");
    writeUserNameAndPort("alice", "2222");
    EXPECT_EQ(readUserNameWithDefaults("username", "22"), L"alice");
    EXPECT_EQ(storedString(L"CEServerPort"), L"2222");
}

// Missing, damaged or unknown values keep both protections on.
TEST_F(SettingsTest, WireHidingValuesAndTheirDefaults)
{
    struct Case {
        const wchar_t* camouflage;  // nullptr: not stored
        long obscure;               // -1: not stored
        PasswordCamouflage expected;
        bool expectedObscure;
    } cases[] = {
        {nullptr, -1, PasswordCamouflage::IgnoreMessages, true},
        {L"pad", 0, PasswordCamouflage::ZeroPadding, false},
        {L"none", 1, PasswordCamouflage::None, true},
        {L"ignore", 7, PasswordCamouflage::IgnoreMessages, true},
        {L"sometimes", -1, PasswordCamouflage::IgnoreMessages, true},
        {L"nonesuch-and-longer", -1, PasswordCamouflage::IgnoreMessages, true},
    };
    for (const Case& c : cases) {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, KEY, L"CEPasswordCamouflage");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, KEY, L"CEObscureKeystrokeTiming");
        if (c.camouflage != nullptr) {
            writeString(L"CEPasswordCamouflage", c.camouflage);
        }
        if (c.obscure >= 0) {
            writeDword(L"CEObscureKeystrokeTiming", static_cast<DWORD>(c.obscure));
        }
        WireHidingSettings read = loadWireHidingSettings();
        EXPECT_EQ(read.camouflage, c.expected) << (c.camouflage ? narrow(c.camouflage) : "missing");
        EXPECT_EQ(read.obscureKeystrokeTiming, c.expectedObscure) << c.obscure;
    }
}

}  // namespace
}  // namespace kestrel::test
