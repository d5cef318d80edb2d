#include "shell/connect_dialog.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "shell/device_services.h"
#include "shell/dialog_ids.h"
#include "shell/main_window.h"
#include "shell/resource_ids.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"

namespace kestrel {
namespace {

// Each field is read into a buffer of this many wide characters (the limit
// plus the terminator), whatever was typed.
constexpr int SERVER_FIELD_SIZE = 80;
constexpr int PORT_FIELD_SIZE = 6;
constexpr int USER_FIELD_SIZE = 20;
constexpr int PASSWORD_FIELD_SIZE = 20;

// The field's text, at most size - 1 characters, into an 8-bit buffer.
void readField(HWND dialog, int id, int size, char* target, std::size_t targetSize) {
    std::wstring wide(std::size_t(size), L'\0');
    int length = GetDlgItemTextW(dialog, id, wide.data(), size);
    wide.resize(std::size_t(length));
    std::string text = narrow(wide.c_str());
    std::size_t kept = std::min(text.size(), targetSize - 1);
    std::memcpy(target, text.data(), kept);
    target[kept] = '\0';
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
    SecureZeroMemory(text.data(), text.size());
}

void initialise(HWND dialog) {
    centreDialog(dialog);
    addCaptionOkButton(dialog);
    HWND box = GetDlgItem(dialog, IDC_CONNECT_SERVER);
    int added = loadServerList(box);
    std::wstring user = readUserNameWithDefaults(UserName, PortText);
    SetDlgItemTextW(dialog, IDC_CONNECT_USER, user.c_str());
    if (added == 0) {
        for (const std::wstring& server : DefaultServers)
            SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(server.c_str()));
    }
    SendMessageW(box, CB_SETCURSEL, 0, 0);
    SetDlgItemTextW(dialog, IDC_CONNECT_PORT, widen(PortText).c_str());
}

void accept(HWND dialog) {
    readField(dialog, IDC_CONNECT_SERVER, SERVER_FIELD_SIZE, HostName, sizeof HostName);
    readField(dialog, IDC_CONNECT_PORT, PORT_FIELD_SIZE, PortText, sizeof PortText);
    readField(dialog, IDC_CONNECT_USER, USER_FIELD_SIZE, UserName, sizeof UserName);
    writeUserNameAndPort(UserName, PortText);
    saveServerList(GetDlgItem(dialog, IDC_CONNECT_SERVER));
    readField(dialog, IDC_CONNECT_PASSWORD, PASSWORD_FIELD_SIZE, Password, sizeof Password);
    EndDialog(dialog, 0);
}

void deleteServer(HWND dialog) {
    HWND box = GetDlgItem(dialog, IDC_CONNECT_SERVER);
    wchar_t text[SERVER_FIELD_SIZE] = {};
    GetWindowTextW(box, text, SERVER_FIELD_SIZE);
    LRESULT index = SendMessageW(box, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(text));
    if (index == CB_ERR)
        return;
    SendMessageW(box, CB_DELETESTRING, WPARAM(index), 0);
    LRESULT count = SendMessageW(box, CB_GETCOUNT, 0, 0);
    SendMessageW(box, CB_SETCURSEL, index < count ? WPARAM(index) : WPARAM(-1), 0);
    saveServerList(box);
}

INT_PTR CALLBACK connectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        initialise(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        accept(dialog);
        return TRUE;
    case IDCANCEL:
        saveServerList(GetDlgItem(dialog, IDC_CONNECT_SERVER));
        EndDialog(dialog, 1);
        return TRUE;
    case IDC_CONNECT_DELETE:
        deleteServer(dialog);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

bool runConnectDialog() {
    return DialogBoxParamW(Instance, MAKEINTRESOURCEW(IDD_CONNECT), MainWindow, connectDialogProc, 0) == 0;
}

} // namespace kestrel
