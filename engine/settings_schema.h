// What the client keeps between runs: the key, every value's name, type and
// default, and the bounds applied to what is read back. Portable (no Windows
// headers) so that every front end of the client stores the same settings
// the same way; the Win32 store is settings_store.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/session_host.h"

namespace kestrel::settings {

// Under the current user's root. The key is created by the first write, with
// this class string.
inline constexpr char KEY_PATH[] = "Software\\Orrin Software\\Kestrel1";
inline constexpr char KEY_CLASS[] = "REG_SZ";

enum class ValueType { String, DoubleWord };

struct StoredValue {
    const char* name;
    ValueType type;
};

inline constexpr StoredValue VALUE_USER_NAME = {"CEUsername", ValueType::String};
inline constexpr StoredValue VALUE_SERVER_PORT = {"CEServerPort", ValueType::String};
inline constexpr StoredValue VALUE_SERVER_COUNT = {"CENumservers", ValueType::DoubleWord};
// "CEServer0", "CEServer1", ...: see serverValueName().
inline constexpr char VALUE_SERVER_PREFIX[] = "CEServer";
inline constexpr StoredValue VALUE_TERMINAL_TYPE = {"CETermType", ValueType::DoubleWord};
inline constexpr StoredValue VALUE_SCROLLBACK_LINES = {"CENumScrollBackLines", ValueType::DoubleWord};
inline constexpr StoredValue VALUE_FONT_NAME = {"CEChannelFontName", ValueType::String};
// Signed: the logical font height, negative for a character height in pixels.
inline constexpr StoredValue VALUE_FONT_SIZE = {"CEChannelFontSize", ValueType::DoubleWord};
inline constexpr StoredValue VALUE_FONT_WEIGHT = {"CEChannelFontWeight", ValueType::DoubleWord};

// How the password's length and the typing rhythm are hidden on the wire.
// The camouflage is stored as its text ("ignore", "pad", "none") so that the
// advice lines can name the value to store; the timing as 1 (on) or 0.
inline constexpr StoredValue VALUE_PASSWORD_CAMOUFLAGE = {"CEPasswordCamouflage", ValueType::String};
inline constexpr StoredValue VALUE_OBSCURE_KEYSTROKE_TIMING = {"CEObscureKeystrokeTiming", ValueType::DoubleWord};

inline constexpr std::uint32_t TERMINAL_TYPE_VT100 = 0;
inline constexpr std::uint32_t TERMINAL_TYPE_VT52 = 1;

// Defaults for values that are missing (or, for the terminal pair, when
// either of the two is missing).
inline constexpr bool DEFAULT_USE_VT52 = false;
inline constexpr std::int32_t DEFAULT_SCROLLBACK_LINES = 100;
inline constexpr char DEFAULT_FONT_FACE[] = "TERMINAL";
inline constexpr std::int32_t DEFAULT_FONT_HEIGHT = -8;
inline constexpr std::int32_t DEFAULT_FONT_WEIGHT = 0;  // the platform's default weight
inline constexpr std::int32_t FONT_WEIGHT_REGULAR = 400;
inline constexpr std::int32_t FONT_WEIGHT_BOLD = 700;
inline constexpr char DEFAULT_USER_NAME[] = "username";
inline constexpr char DEFAULT_PORT_TEXT[] = "22";

// Read limits. A face name is kept with room for the platform's own face
// names (31 characters and the terminator); a longer stored name fails the
// whole font read (the terminal then uses the default font) rather than
// being cut to a different face.
inline constexpr std::size_t FONT_FACE_CAPACITY = 32;
// Server names are read with room for 160 bytes (79 characters shown).
inline constexpr std::size_t SERVER_NAME_CAPACITY = 80;
inline constexpr std::size_t SERVER_NAME_LIMIT = 79;
inline constexpr std::size_t USER_NAME_LIMIT = 19;
inline constexpr std::size_t PORT_TEXT_LIMIT = 5;

// The Terminal Settings dialog offers 0 to 500 lines. A stored value outside
// that range (edited by hand, or damaged) is clamped when read, so the
// scroll range always matches the storage the screen buffer allocates.
inline constexpr std::int32_t MIN_SCROLLBACK_LINES = 0;
inline constexpr std::int32_t MAX_SCROLLBACK_LINES = 500;

// Hand-edited registries can hold any count; more names than this are never
// read, which also bounds the time the Connect dialog spends loading.
inline constexpr std::uint32_t MAX_SERVER_COUNT = 1000;

inline std::int32_t clampScrollbackLines(std::int64_t lines)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(lines, MIN_SCROLLBACK_LINES, MAX_SCROLLBACK_LINES));
}

// Any value but VT100's is taken as VT52, as the flag it restores reads.
inline bool useVt52FromStored(std::uint32_t terminalType) { return terminalType != TERMINAL_TYPE_VT100; }

// Missing or unknown text keeps the protection on: a damaged value must not
// quietly switch it off.
inline constexpr PasswordCamouflage DEFAULT_PASSWORD_CAMOUFLAGE = PasswordCamouflage::IgnoreMessages;
inline constexpr bool DEFAULT_OBSCURE_KEYSTROKE_TIMING = true;
inline constexpr std::size_t CAMOUFLAGE_TEXT_LIMIT = 8;

inline std::optional<PasswordCamouflage> camouflageFromText(std::string_view text)
{
    if (text == "ignore")
        return PasswordCamouflage::IgnoreMessages;
    if (text == "pad")
        return PasswordCamouflage::ZeroPadding;
    if (text == "none")
        return PasswordCamouflage::None;
    return std::nullopt;
}

inline const char* camouflageText(PasswordCamouflage camouflage)
{
    switch (camouflage) {
    case PasswordCamouflage::ZeroPadding:
        return "pad";
    case PasswordCamouflage::None:
        return "none";
    case PasswordCamouflage::IgnoreMessages:
        break;
    }
    return "ignore";
}

inline std::optional<bool> yesNoFromText(std::string_view text)
{
    if (text == "yes")
        return true;
    if (text == "no")
        return false;
    return std::nullopt;
}

inline std::string serverValueName(std::uint32_t index)
{
    return std::string(VALUE_SERVER_PREFIX) + std::to_string(index);
}

}  // namespace kestrel::settings
