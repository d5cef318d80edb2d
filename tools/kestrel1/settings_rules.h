// The value names, types, defaults and bounds of the client's settings, the
// same on every platform, so that a settings file and the handheld's store
// agree on what each value means.
#pragma once
#include <cstdint>

namespace kestrel::settings {

inline constexpr char VALUE_USER_NAME[] = "CEUsername";          // string
inline constexpr char VALUE_SERVER_PORT[] = "CEServerPort";      // string, decimal
inline constexpr char VALUE_SERVER_COUNT[] = "CENumservers";     // dword
inline constexpr char VALUE_SERVER_PREFIX[] = "CEServer";        // string, "CEServer0", ...
inline constexpr char VALUE_TERMINAL_TYPE[] = "CETermType";      // dword, 1 = VT52
inline constexpr char VALUE_SCROLLBACK[] = "CENumScrollBackLines"; // dword

inline constexpr char DEFAULT_USER_NAME[] = "username";
inline constexpr char DEFAULT_PORT_TEXT[] = "22";
inline constexpr bool DEFAULT_USE_VT52 = false;
inline constexpr std::uint32_t DEFAULT_SCROLLBACK_LINES = 100;

// The terminal-settings dialog offers 0 to 500 lines.
inline constexpr std::uint32_t MAX_SCROLLBACK_LINES = 500;
// Longest server name the connect dialog keeps; longer stored names are skipped.
inline constexpr std::size_t MAX_SERVER_NAME = 79;
// The connect dialog's buffers: user name and port text.
inline constexpr std::size_t MAX_USER_NAME = 19;
inline constexpr std::size_t MAX_PORT_TEXT = 5;
// A stored server count beyond this is not a list anyone typed in.
inline constexpr std::uint32_t MAX_SERVERS = 256;

} // namespace kestrel::settings
