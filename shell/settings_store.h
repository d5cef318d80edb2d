// The client's settings in the registry (names, types and defaults in
// settings_schema.h). Nothing is cached: each operation opens the key, reads
// or writes, and closes it. Every registry failure is silent: a read gives
// the caller's default, a write is dropped.
#pragma once

#include <windows.h>

#include <string>

#include "engine/settings_schema.h"

namespace kestrel {

struct FontSettings {
    wchar_t face[settings::FONT_FACE_CAPACITY] = {};
    LONG height = settings::DEFAULT_FONT_HEIGHT;
    LONG weight = settings::DEFAULT_FONT_WEIGHT;
};

// True when both values were read (lines clamped to 0..500); on false the
// outputs are untouched and the caller applies the defaults.
bool loadTerminalSettings(bool& useVt52, std::int32_t& scrollbackLines);
void saveTerminalSettings(std::uint32_t terminalType, std::int32_t scrollbackLines);

// True when all three values were read; false at the first one missing or
// too long (the face must fit FONT_FACE_CAPACITY with its terminator).
bool loadFontSettings(FontSettings& font);
bool saveFontSettings(const FontSettings& font);

struct WireHidingSettings {
    PasswordCamouflage camouflage = settings::DEFAULT_PASSWORD_CAMOUFLAGE;
    bool obscureKeystrokeTiming = settings::DEFAULT_OBSCURE_KEYSTROKE_TIMING;
};
// Read at every connect. Missing or unknown values keep the defaults, which
// hide what they can; a user turns one off for a server that cannot take it.
WireHidingSettings loadWireHidingSettings();

// Adds the stored server names to a combo box; the number added.
int loadServerList(HWND comboBox);
// Adds the combo box's edit text as an entry when new, then stores every
// non-empty entry in the box's order.
void saveServerList(HWND comboBox);

// Connect dialog opening: the stored user name, writing userName first when
// none is stored; writes portText as the port when none is stored.
std::wstring readUserNameWithDefaults(const char* userName, const char* portText);
// Connect dialog OK.
void writeUserNameAndPort(const char* userName, const char* portText);

// 8-bit text of the device's code page to and from UTF-16.
std::wstring widen(const char* text, std::size_t limit = static_cast<std::size_t>(-1));
std::string narrow(const wchar_t* text, std::size_t limit = static_cast<std::size_t>(-1));

}  // namespace kestrel
