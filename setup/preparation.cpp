// The progress window's preparation sequence (files, identity, Application
// Manager, device check) and the launch of the Application Manager.
#include "setup/setup_state.h"

#include "setup/core/setup_layout.h"
#include "setup/resource.h"

#include <commctrl.h>

#include <cstring>
#include <string>

namespace {

constexpr UINT START_DELAY_MS = 500;
constexpr DWORD CONNECTION_WAIT_MS = 500;
constexpr int SCREEN_EDGE_GAP = 10;
constexpr DWORD APP_PATH_BYTES = 500;
constexpr const char* APP_MANAGER_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\CEAPPMGR.EXE";

using CeRapiInitCall = LONG(WINAPI*)();

void moveToCorner(HWND dialog) {
    RECT rect;
    GetWindowRect(dialog, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    SetWindowPos(dialog, nullptr, GetSystemMetrics(SM_CXSCREEN) - width - SCREEN_EDGE_GAP,
                 GetSystemMetrics(SM_CYSCREEN) - height - SCREEN_EDGE_GAP, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW);
}

void enterProgramFolder() {
    char path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char* lastBackslash = std::strrchr(path, '\\');
    if (lastBackslash == nullptr)
        return;
    lastBackslash[1] = '\0';
    SetCurrentDirectoryA(path);
}

void setProgress(HWND dialog, int position) {
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS_BAR);
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    UpdateWindow(bar);
}

bool fileExists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

void fail(HWND dialog, const char* text, const char* caption) {
    if (setupState.splashWindow != nullptr)
        ShowWindow(setupState.splashWindow, SW_HIDE);
    MessageBoxA(dialog, text, caption, MB_ICONERROR | MB_OK);
    setupState.WizardPage = PAGE_END;
    EndDialog(dialog, 0);
}

// RAPI.dll is looked up at run time: without the synchronisation services
// there is no such library, which means no device.
DWORD WINAPI checkConnection(LPVOID) {
    HMODULE rapi = LoadLibraryA("RAPI.dll");
    if (rapi == nullptr)
        return 0;
    auto ceRapiInit = reinterpret_cast<CeRapiInitCall>(reinterpret_cast<void*>(GetProcAddress(rapi, "CeRapiInit")));
    if (ceRapiInit == nullptr || ceRapiInit() != 0)
        return 0;
    setupState.DeviceConnected = true;
    return 1;
}

// false when the user chose to stop.
bool checkDevice(HWND dialog) {
    HANDLE thread = CreateThread(nullptr, 0, checkConnection, nullptr, 0, nullptr);
    if (thread != nullptr)
        WaitForSingleObject(thread, CONNECTION_WAIT_MS);
    bool goOn = true;
    if (!setupState.DeviceConnected) {
        setupState.DeviceNotConnected = true;
        goOn = MessageBoxA(dialog,
                           "Your mobile device is not connected to the PC properly.\n"
                           "You can exit Setup program to check your connection,\n"
                           "or you can continue your installation. Files will be transferred to your mobile device "
                           "the next time you connect.\nDo you want to continue?",
                           "No connection found", MB_ICONWARNING | MB_YESNO) == IDYES;
    }
    if (thread != nullptr)
        CloseHandle(thread);
    return goOn;
}

void runPreparation(HWND dialog) {
    KillTimer(dialog, TIMER_START);
    if (!fileExists("quill.bin"))
        return fail(dialog, "Missing setup binary file\nSetup terminates...", "System file missing");
    if (!readQuillFile())
        return fail(dialog, "Damaged setup binary file\nSetup terminates...", "System file damaged");
    setProgress(dialog, 2);
    Sleep(100);
    setProgress(dialog, 3);
    Sleep(100);
    std::string packageFile = std::string(setupState.ApplicationName) + ".ini";
    if (!fileExists(packageFile.c_str()))
        return fail(dialog, "Missing configuration file\nSetup terminate...", "System file missing");
    Sleep(100);
    setProgress(dialog, 4);
    Sleep(100);
    setProgress(dialog, 5);
    Sleep(100);
    setProgress(dialog, 6);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, APP_MANAGER_KEY, 0, KEY_READ, &setupState.AppManagerKey) != ERROR_SUCCESS)
        return fail(dialog, "Please install the Windows CE Serevices\nfirst, then try Setup again.",
                    "No Windows CE Services");
    setProgress(dialog, 8);
    if (!checkDevice(dialog)) {
        setupState.WizardPage = PAGE_END;
        EndDialog(dialog, 0);
        return;
    }
    setProgress(dialog, 10);
    Sleep(500);
    EndDialog(dialog, 0);
}

void showSystemMessage(HWND owner, DWORD error, const char* caption) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    MessageBoxA(owner, text != nullptr ? text : "", caption, MB_ICONINFORMATION | MB_OK);
    LocalFree(text);
}

} // namespace

INT_PTR CALLBACK prepareInstallation(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        if (setupState.SplashShown)
            moveToCorner(dialog);
        SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 10));
        SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
        SetTimer(dialog, TIMER_START, START_DELAY_MS, nullptr);
        enterProgramFolder();
        return TRUE;
    case WM_TIMER:
        if (wParam == TIMER_START)
            runPreparation(dialog);
        return TRUE;
    case WM_COMMAND:
    case WM_CLOSE:
        return TRUE; // the sequence cannot be cancelled
    default:
        return FALSE;
    }
}

bool launchAppManager(HWND owner) {
    char program[APP_PATH_BYTES + 1] = {};
    DWORD size = APP_PATH_BYTES;
    LONG status = RegQueryValueExA(setupState.AppManagerKey, nullptr, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(program), &size);
    if (status != ERROR_SUCCESS) {
        showSystemMessage(owner, static_cast<DWORD>(status), "RegQueryValueEx");
        return false;
    }
    char folder[MAX_PATH + 1] = {};
    DWORD folderLength = GetCurrentDirectoryA(MAX_PATH, folder);
    if (folderLength == 0 || folderLength >= MAX_PATH) {
        showSystemMessage(owner, GetLastError(), "GetCurrentDirectory");
        return false;
    }
    std::string commandLine = appManagerCommandLine(program, folder, setupState.ApplicationName);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                        nullptr, &startup, &setupState.AppManagerProcess)) {
        showSystemMessage(owner, GetLastError(), "CreateProcess");
        return false;
    }
    return true;
}
