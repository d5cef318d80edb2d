#include "shell/device_services.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "shell/resource_ids.h"

namespace kestrel {

namespace {

constexpr wchar_t MENU_BAR_CLASS[] = L"KestrelMenuBar";
constexpr UINT_PTR CAPTION_OK_SUBCLASS = 1;

DeviceProfile readProfile()
{
    DeviceProfile profile;
    if (const char* screen = std::getenv("KESTREL1_SCREEN")) {
        int width = 0;
        int height = 0;
        if (std::sscanf(screen, "%dx%d", &width, &height) == 2) {
            profile.screenWidth = std::clamp(width, MIN_DEVICE_SIDE, MAX_DEVICE_SIDE);
            profile.screenHeight = std::clamp(height, MIN_DEVICE_SIDE, MAX_DEVICE_SIDE);
        }
    }
    if (const char* panel = std::getenv("KESTREL1_INPUT_PANEL")) {
        profile.inputPanelShown = std::strcmp(panel, "shown") == 0;
    }
    return profile;
}

// One button of the description resource.
struct MenuBarButton {
    UINT id;
    UINT caption;
    UINT popup;
};

struct MenuBarData {
    HMENU bar = nullptr;
    std::vector<MenuBarButton> buttons;
};

// The description: menu id, button count, then seven words per button
// (image, id, state, style, caption string, reserved, pop-up index).
constexpr std::size_t WORDS_PER_BUTTON = 7;
// More buttons than any screen can show means a damaged resource.
constexpr std::size_t MAX_MENU_BAR_BUTTONS = 16;

bool readDescription(HINSTANCE instance, UINT id, UINT& menuId, std::vector<MenuBarButton>& buttons)
{
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(RT_MENU_BAR_DESCRIPTION));
    HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
    const auto* words = loaded != nullptr ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
    std::size_t available = found != nullptr ? SizeofResource(instance, found) / sizeof(WORD) : 0;
    if (words == nullptr || available < 2) {
        return false;
    }
    menuId = words[0];
    std::size_t count = words[1];
    if (count > MAX_MENU_BAR_BUTTONS || available < 2 + count * WORDS_PER_BUTTON) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const WORD* button = words + 2 + i * WORDS_PER_BUTTON;
        buttons.push_back({button[1], button[4], button[6]});
    }
    return true;
}

LRESULT CALLBACK menuBarProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* data = reinterpret_cast<MenuBarData*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == MSG_MENU_BAR_GET_SUB_MENU && data != nullptr) {
        for (std::size_t i = 0; i < data->buttons.size(); ++i) {
            if (data->buttons[i].id == static_cast<UINT>(lParam)) {
                return reinterpret_cast<LRESULT>(GetSubMenu(data->bar, static_cast<int>(i)));
            }
        }
        return 0;
    }
    if (message == WM_NCDESTROY && data != nullptr) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete data;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool registerMenuBarClass(HINSTANCE instance)
{
    WNDCLASSW existing = {};
    if (GetClassInfoW(instance, MENU_BAR_CLASS, &existing)) {
        return true;
    }
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = menuBarProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = MENU_BAR_CLASS;
    return RegisterClassW(&windowClass) != 0;
}

HMENU buildBar(HINSTANCE instance, UINT menuId, const std::vector<MenuBarButton>& buttons)
{
    HMENU source = LoadMenuW(instance, MAKEINTRESOURCEW(menuId));
    if (source == nullptr) {
        return nullptr;
    }
    std::vector<HMENU> popups;
    for (int i = 0; i < GetMenuItemCount(source); ++i) {
        popups.push_back(GetSubMenu(source, i));
    }
    // The pop-ups move into the bar, so the source must not destroy them.
    while (GetMenuItemCount(source) > 0) {
        RemoveMenu(source, 0, MF_BYPOSITION);
    }
    DestroyMenu(source);
    HMENU bar = CreateMenu();
    for (const MenuBarButton& button : buttons) {
        if (button.popup >= popups.size() || popups[button.popup] == nullptr) {
            continue;
        }
        wchar_t caption[64] = {};
        LoadStringW(instance, button.caption, caption, 64);
        AppendMenuW(bar, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(popups[button.popup]), caption);
    }
    return bar;
}

LRESULT CALLBACK captionOkProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) {
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return 0;
    }
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, captionOkProcedure, CAPTION_OK_SUBCLASS);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace

DeviceProfile& deviceProfile()
{
    static DeviceProfile profile = readProfile();
    return profile;
}

BOOL queryInputPanel(UINT action, UINT size, void* record, UINT)
{
    auto* info = static_cast<InputPanelInfo*>(record);
    if (action != SPI_GET_INPUT_PANEL_INFO || info == nullptr || size != sizeof(InputPanelInfo) ||
        info->size != sizeof(InputPanelInfo)) {
        return FALSE;
    }
    const DeviceProfile& device = deviceProfile();
    int panelBottom = device.screenHeight - DEVICE_MENU_BAR_HEIGHT;
    int panelTop = panelBottom - INPUT_PANEL_HEIGHT;
    info->flags = device.inputPanelShown ? INPUT_PANEL_SHOWN : 0;
    info->panel = {0, panelTop, device.screenWidth, panelBottom};
    // With the panel up the visible desktop ends at the panel; with it down,
    // at the bottom of the screen (the menu bar is the caller's to subtract).
    int visibleBottom = device.inputPanelShown ? panelTop : device.screenHeight;
    info->visibleDesktop = {0, NAVIGATION_BAR_HEIGHT, device.screenWidth, visibleBottom};
    return TRUE;
}

BOOL createMenuBar(MenuBarInfo* info)
{
    if (info == nullptr || info->size != sizeof(MenuBarInfo) || deviceProfile().menuBarFails ||
        !registerMenuBarClass(info->resources)) {
        return FALSE;
    }
    UINT menuId = 0;
    auto* data = new MenuBarData;
    if (!readDescription(info->resources, info->menuBarId, menuId, data->buttons) ||
        (data->bar = buildBar(info->resources, menuId, data->buttons)) == nullptr) {
        delete data;
        return FALSE;
    }
    HWND window = CreateWindowExW(0, MENU_BAR_CLASS, L"", WS_CHILD, 0, 0, 0, 0, info->owner, nullptr,
                                  info->resources, nullptr);
    if (window == nullptr) {
        DestroyMenu(data->bar);
        delete data;
        return FALSE;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(data));
    SetMenu(info->owner, data->bar);
    info->menuBar = window;
    return TRUE;
}

void addCaptionOkButton(HWND dialog)
{
    SetWindowSubclass(dialog, captionOkProcedure, CAPTION_OK_SUBCLASS, 0);
    if (HMENU system = GetSystemMenu(dialog, FALSE)) {
        ModifyMenuW(system, SC_CLOSE, MF_BYCOMMAND | MF_STRING, SC_CLOSE, L"OK\tAlt+F4");
    }
}

void bringToForeground(HWND window)
{
    HWND popup = GetLastActivePopup(window);
    if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);
    }
    SetForegroundWindow(popup != nullptr ? popup : window);
}

void fitWindowToClientArea(HWND window, int clientWidth, int clientHeight)
{
    RECT frame = {0, 0, clientWidth, clientHeight};
    auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    auto extended = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
    AdjustWindowRectEx(&frame, style, GetMenu(window) != nullptr, extended);
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // A menu too wide for one line wraps and takes client height; measure
    // again and make up the difference.
    RECT client = {};
    GetClientRect(window, &client);
    int missing = clientHeight - (client.bottom - client.top);
    if (missing != 0) {
        SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top + missing,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

}  // namespace kestrel
