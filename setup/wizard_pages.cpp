// The four wizard pages, the quit confirmation and the page sequence.
#include "setup/setup_state.h"

#include "setup/resource.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr UINT NAME_CHECK_MS = 100;
constexpr UINT APP_MANAGER_POLL_MS = 500;
constexpr DWORD REGISTRY_TEXT_BYTES = 256;
constexpr int FIELD_TEXT_BYTES = 257;
// Twice a long licence text; a multi-line edit field stays responsive up to here.
constexpr DWORD MAX_LICENCE_BYTES = 64 * 1024;

const char* const QUIT_QUESTION =
    "Setup is not completed. If you quit the Setup program now, the\n"
    "program will not be installed to your mobile device.\n\n"
    "You may run the Setup program at a later time to complete the\n"
    "installation.\n\nDo you really want to quit the Setup program?";

void closePage(HWND page, int nextPage) {
    setupState.WizardPage = nextPage;
    EndDialog(page, 0);
}

void confirmQuit(HWND page) {
    if (MessageBoxA(page, QUIT_QUESTION, "Exit Setup", MB_ICONQUESTION | MB_YESNO) == IDYES)
        closePage(page, PAGE_END);
}

void setPageText(HWND page, int control, const char* key) {
    char text[PAGE_TEXT_BYTES];
    if (readPageText(text, sizeof(text), key))
        SetDlgItemTextA(page, control, text);
}

INT_PTR CALLBACK welcomePage(HWND page, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        char first[3 * SETUP_TEXT_BYTES + 40];
        std::snprintf(first, sizeof(first), "%s Setup Program\nVersion %s\n%s", setupState.ApplicationName,
                      setupState.ApplicationVersion, setupState.ProviderText);
        SetDlgItemTextA(page, IDC_TEXT1, first);
        const char* keys[] = {"wctitle1=", "wctitle2=", "wctitle3=", "wctitle4=", "wctitle5="};
        for (int i = 0; i < 5; ++i)
            setPageText(page, IDC_TEXT1 + i, keys[i]);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    if (LOWORD(wParam) == IDOK)
        closePage(page, PAGE_LICENCE);
    else if (LOWORD(wParam) == IDCANCEL)
        confirmQuit(page);
    return TRUE;
}

// The page tells the user to press PAGE DOWN while the focus is on "&Yes":
// the two paging keys, pressed on any button of the page, page the licence
// text instead (a button has no use for them).
WNDPROC ButtonProcedure = nullptr;

LRESULT CALLBACK pagingButton(HWND button, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN && (wParam == VK_NEXT || wParam == VK_PRIOR)) {
        HWND text = GetDlgItem(GetParent(button), IDC_LICENCE_TEXT);
        SendMessageA(text, WM_VSCROLL, wParam == VK_NEXT ? SB_PAGEDOWN : SB_PAGEUP, 0);
        return 0;
    }
    return CallWindowProcA(ButtonProcedure, button, message, wParam, lParam);
}

void pageLicenceFromButtons(HWND page) {
    for (int id : {IDOK, IDC_REFUSE, IDC_BACK}) {
        HWND button = GetDlgItem(page, id);
        if (button == nullptr)
            continue;
        auto previous = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pagingButton)));
        if (previous != pagingButton)
            ButtonProcedure = previous;
    }
}

bool readLicence(std::string& text) {
    HANDLE file = CreateFileA(setupState.LicenceFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE || size > MAX_LICENCE_BYTES)
        size = MAX_LICENCE_BYTES;
    std::string bytes(size, '\0');
    DWORD got = 0;
    if (size == 0 || !ReadFile(file, bytes.data(), size, &got, nullptr))
        got = 0;
    CloseHandle(file);
    bytes.resize(got);
    text = withCrLfLineEnds(bytes.substr(0, bytes.find('\0')));
    return true;
}

INT_PTR CALLBACK licencePage(HWND page, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        std::string licence;
        if (!readLicence(licence)) {
            closePage(page, PAGE_USER_INFO);
            return FALSE; // no focus: the page is never activated
        }
        SetDlgItemTextA(page, IDC_LICENCE_TEXT, licence.c_str());
        char question[SETUP_TEXT_BYTES + 200];
        std::snprintf(question, sizeof(question),
                      "Do you accept all the terms of the preceding License Agreement? If you choose No, Setup will "
                      "close. To install %s, you must accept this agreement.",
                      setupState.ApplicationName);
        SetDlgItemTextA(page, IDC_QUESTION, question);
        pageLicenceFromButtons(page);
        SetFocus(GetDlgItem(page, IDOK));
        return FALSE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        closePage(page, PAGE_USER_INFO);
        break;
    case IDC_BACK:
        closePage(page, PAGE_WELCOME);
        break;
    case IDC_REFUSE:
    case IDCANCEL:
        confirmQuit(page);
        break;
    }
    return TRUE;
}

// Registry strings only: other value types would show as raw bytes.
void prefillField(HWND page, int control, HKEY key, DWORD index) {
    char name[REGISTRY_TEXT_BYTES];
    char data[REGISTRY_TEXT_BYTES + 1] = {};
    DWORD nameLength = REGISTRY_TEXT_BYTES;
    DWORD dataLength = REGISTRY_TEXT_BYTES;
    DWORD type = 0;
    LONG status = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                &dataLength);
    bool text = status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
    SetDlgItemTextA(page, control, text ? data : "");
}

void prefillUserFields(HWND page) {
    PlatformVersion version = queryPlatformVersion();
    const char* keyName = nullptr;
    DWORD nameIndex = 0;
    if (version.family == PlatformVersion::FAMILY_WIN95 && version.major == 4) {
        keyName = "SOFTWARE\\MICROSOFT\\Windows\\CurrentVersion\\";
        nameIndex = 4;
    } else if (version.family == PlatformVersion::FAMILY_NT && version.major == 4) {
        keyName = "SOFTWARE\\MICROSOFT\\Windows NT\\CurrentVersion\\";
        nameIndex = 2;
    }
    HKEY key = nullptr;
    if (keyName == nullptr || RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    prefillField(page, IDC_NAME, key, nameIndex);
    prefillField(page, IDC_COMPANY, key, nameIndex + 1);
    RegCloseKey(key);
}

bool holdsVisibleText(HWND page, int control) {
    char text[FIELD_TEXT_BYTES] = {};
    GetDlgItemTextA(page, control, text, sizeof(text));
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != ' ')
            return true;
    }
    return false;
}

void updateNextButton(HWND page) {
    HWND next = GetDlgItem(page, IDOK);
    bool filled = holdsVisibleText(page, IDC_NAME) && holdsVisibleText(page, IDC_COMPANY);
    if (filled != (IsWindowEnabled(next) != FALSE))
        EnableWindow(next, filled);
}

void startAppManager(HWND page) {
    KillTimer(page, TIMER_NAME_CHECK);
    if (!launchAppManager(page))
        return closePage(page, PAGE_END);
    ShowWindow(setupState.backgroundWindow, SW_HIDE);
    ShowWindow(page, SW_HIDE);
    SetTimer(page, TIMER_APP_MANAGER, APP_MANAGER_POLL_MS, nullptr);
}

// The end of the process is read from its handle: an Application Manager
// that ends with code 259 (the still-running code) would otherwise never end.
void pollAppManager(HWND page) {
    HANDLE process = setupState.AppManagerProcess.hProcess;
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
        return;
    KillTimer(page, TIMER_APP_MANAGER);
    CloseHandle(setupState.AppManagerProcess.hThread);
    CloseHandle(process);
    ShowWindow(setupState.backgroundWindow, SW_SHOW);
    ShowWindow(page, SW_SHOW);
    closePage(page, PAGE_COMPLETE);
}

INT_PTR CALLBACK userInfoPage(HWND page, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        prefillUserFields(page);
        SetTimer(page, TIMER_NAME_CHECK, NAME_CHECK_MS, nullptr);
        return TRUE;
    case WM_TIMER:
        if (wParam == TIMER_NAME_CHECK)
            updateNextButton(page);
        else if (wParam == TIMER_APP_MANAGER)
            pollAppManager(page);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && IsWindowEnabled(GetDlgItem(page, IDOK)))
            startAppManager(page);
        else if (LOWORD(wParam) == IDC_BACK)
            closePage(page, PAGE_LICENCE);
        else if (LOWORD(wParam) == IDCANCEL)
            confirmQuit(page);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK completePage(HWND page, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        const char* format = setupState.DeviceNotConnected
                                 ? "Setup has finished lauching Windows CE Application Manager to install %s to your "
                                   "mobile device.\n\nBecause your mobile device is not connected to the PC properly, "
                                   "all files will be transferred to your mobile device the next time you connect."
                                 : "Setup has finished lauching Windows CE Application Manager to install %s to your "
                                   "mobile device.";
        char first[SETUP_TEXT_BYTES + 300];
        std::snprintf(first, sizeof(first), format, setupState.ApplicationName);
        SetDlgItemTextA(page, IDC_TEXT1, first);
        setPageText(page, IDC_TEXT1, "fntitle1=");
        setPageText(page, IDC_TEXT2, "fntitle2=");
        EnableWindow(GetDlgItem(page, IDC_BACK), FALSE);
        return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK)
        closePage(page, PAGE_END);
    return message == WM_COMMAND;
}

} // namespace

void runWizardPages(HWND owner) {
    while (setupState.WizardPage != PAGE_END) {
        int page = setupState.WizardPage;
        DLGPROC procedure = page == PAGE_WELCOME   ? welcomePage
                            : page == PAGE_LICENCE ? licencePage
                            : page == PAGE_USER_INFO ? userInfoPage
                                                     : completePage;
        int resource = IDD_WELCOME + page - PAGE_WELCOME;
        if (DialogBoxParamA(setupState.instance, MAKEINTRESOURCEA(resource), owner, procedure, 0) == -1)
            setupState.WizardPage = PAGE_END; // a page that cannot be shown would repeat for ever
    }
}
