// The Terminal Settings dialog (108): terminal type and scroll-back lines.
#include <windows.h>

#include <cwchar>

#include "shell/device_services.h"
#include "shell/dialog_ids.h"
#include "shell/main_window.h"
#include "shell/modeless_dialog.h"
#include "shell/resource_ids.h"
#include "shell/session_commands.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {
namespace {

// The field is read as at most 7 characters (a buffer of 8).
constexpr int SCROLLBACK_FIELD_SIZE = 8;

void initialise(HWND dialog) {
    centreDialog(dialog);
    addCaptionOkButton(dialog);
    CheckRadioButton(dialog, IDC_TERMINAL_VT52, IDC_TERMINAL_VT100, UseVt52 ? IDC_TERMINAL_VT52 : IDC_TERMINAL_VT100);
    SetDlgItemTextW(dialog, IDC_TERMINAL_SCROLLBACK, std::to_wstring(ScrollbackLines).c_str());
}

// Digits only can be typed, but a pasted text may hold anything: whatever
// does not start with a number counts as 0.
std::int32_t scrollbackFromField(HWND dialog) {
    wchar_t text[SCROLLBACK_FIELD_SIZE] = {};
    GetDlgItemTextW(dialog, IDC_TERMINAL_SCROLLBACK, text, SCROLLBACK_FIELD_SIZE);
    return settings::clampScrollbackLines(std::wcstol(text, nullptr, 10));
}

void accept(HWND dialog) {
    std::int32_t lines = scrollbackFromField(dialog);
    UseVt52 = IsDlgButtonChecked(dialog, IDC_TERMINAL_VT100) != BST_CHECKED;
    terminalScreen().setScrollbackLines(lines);
    ScrollbackLines = lines;
    saveTerminalSettings(UseVt52 ? settings::TERMINAL_TYPE_VT52 : settings::TERMINAL_TYPE_VT100, ScrollbackLines);
    setScrollRange();
    DestroyWindow(dialog);
    SendMessageW(MainWindow, MSG_RELAYOUT, 0, 0);
}

} // namespace

void openTerminalSettingsDialog() {
    static ModelessDialog dialog = {IDD_TERMINAL_SETTINGS, initialise, accept};
    openModelessDialog(dialog);
}

} // namespace kestrel
