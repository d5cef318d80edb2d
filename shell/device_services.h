// The handheld shell's services, supplied on the desktop: the menu bar made
// from a menu-bar description, its get-sub-menu message, the input-panel
// query and the caption OK button of dialogs. Call sites use them as they
// would on the device; this layer turns them into a desktop menu, a
// simulated screen and the close box.
//
// Settings of the layer (read once, at the first call; tests set them with
// deviceProfile()):
//   KESTREL1_SCREEN=WIDTHxHEIGHT   the simulated device screen, default 240x320
//   KESTREL1_INPUT_PANEL=shown     the input panel is up (default hidden)
#pragma once

#include <windows.h>

namespace kestrel {

// The input-panel query: action and record as on the device.
inline constexpr UINT SPI_GET_INPUT_PANEL_INFO = 225;
inline constexpr DWORD INPUT_PANEL_SHOWN = 0x1;

struct InputPanelInfo {
    DWORD size;
    DWORD flags;
    RECT visibleDesktop;
    RECT panel;
    DWORD imDataSize;
    DWORD imData;  // reserved
};
static_assert(sizeof(InputPanelInfo) == 48, "the device's record is 48 bytes");

// The navigation bar at the top and the menu bar at the bottom of the device
// screen are each this high; the input panel sits above the menu bar.
inline constexpr int NAVIGATION_BAR_HEIGHT = 26;
inline constexpr int DEVICE_MENU_BAR_HEIGHT = 26;
inline constexpr int INPUT_PANEL_HEIGHT = 80;

// Simulated screens smaller than a panel and two bars, or larger than any
// desktop, are clamped to these.
inline constexpr int MIN_DEVICE_SIDE = 160;
inline constexpr int MAX_DEVICE_SIDE = 4096;

struct DeviceProfile {
    int screenWidth = 240;
    int screenHeight = 320;
    bool inputPanelShown = false;
    // Makes createMenuBar fail, to exercise the error path.
    bool menuBarFails = false;
};

DeviceProfile& deviceProfile();

// false when action is not the input-panel query or the record's size
// field is not 48.
BOOL queryInputPanel(UINT action, UINT size, void* record, UINT flags);

// The menu-bar request: size, owner, flags, description resource, instance
// for resources, bitmap; menuBar receives the bar's window.
struct MenuBarInfo {
    DWORD size;
    HWND owner;
    DWORD flags;
    UINT menuBarId;
    HINSTANCE resources;
    UINT bitmapId;
    UINT bitmapImages;
    HWND menuBar;
};

// The get-sub-menu message of the bar: the button id in the second
// parameter, the button's pop-up menu (or null) as the result.
inline constexpr UINT MSG_MENU_BAR_GET_SUB_MENU = WM_USER + 401;

// On the desktop: the owner's window menu with the description's pop-ups and
// captions, plus a message window answering MSG_MENU_BAR_GET_SUB_MENU.
BOOL createMenuBar(MenuBarInfo* info);

// The dialog's caption OK: the close box, Alt+F4 and the system menu's
// "OK" item send IDOK instead of IDCANCEL.
void addCaptionOkButton(HWND dialog);

// Brings a running copy's window forward (with its dialogs, as the device
// does when the handle's lowest bit is set).
void bringToForeground(HWND window);

// Sizes the desktop frame so that the client area is exactly what the device
// would give the program, whatever the frame and the menu add.
void fitWindowToClientArea(HWND window, int clientWidth, int clientHeight);

}  // namespace kestrel
