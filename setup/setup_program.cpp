// Program start: configuration from setup.ini and quill.bin, the background
// window and the message loop.
#include "setup/setup_state.h"

#include "setup/resource.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

SetupState setupState;

namespace {

// The ini file is a page of text; a larger file is read only this far.
constexpr DWORD MAX_INI_BYTES = 1024 * 1024;

PlatformVersion queryRealPlatformVersion() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExA(&info))
        return {PlatformVersion::FAMILY_OTHER, 0};
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return {PlatformVersion::FAMILY_WIN95, info.dwMajorVersion};
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return {PlatformVersion::FAMILY_NT, info.dwMajorVersion};
    return {PlatformVersion::FAMILY_OTHER, info.dwMajorVersion};
}

// Whole file (up to limit) in a zero-terminated heap block; null when it
// cannot be opened.
char* readWholeFile(const char* fileName, DWORD limit) {
    HANDLE file = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE || size > limit)
        size = limit;
    char* text = static_cast<char*>(calloc(size + 1, 1));
    DWORD got = 0;
    if (text != nullptr && !ReadFile(file, text, size, &got, nullptr))
        text[0] = '\0';
    CloseHandle(file);
    return text;
}

void readSetupIni() {
    setupState.iniText = nullptr;
    setupState.IniPresent = GetFileAttributesA("setup.ini") != INVALID_FILE_ATTRIBUTES;
    if (setupState.IniPresent)
        setupState.iniText = readWholeFile("setup.ini", MAX_INI_BYTES);
    if (setupState.iniText == nullptr)
        setupState.IniPresent = false;
}

bool createBackgroundWindow(HINSTANCE instance) {
    WNDCLASSA windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = backgroundWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SETUP));
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = setupState.className;
    if (!RegisterClassA(&windowClass))
        return false;
    HWND window = CreateWindowExA(0, setupState.className, setupState.windowCaption, WS_POPUP, 0, 0,
                                  GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                                  instance, nullptr);
    if (window == nullptr)
        return false;
    setupState.backgroundWindow = window;
    UpdateWindow(window);
    return true;
}

} // namespace

PlatformVersionQuery queryPlatformVersion = queryRealPlatformVersion;

bool readSetupIniValue(char* destination, int destinationSize, const char* key) {
    if (!setupState.IniPresent || destinationSize <= 0)
        return false;
    return readIniValue(setupState.iniText, destination, static_cast<std::size_t>(destinationSize), key) &&
           destination[0] != '\0';
}

bool readPageText(char* destination, int destinationSize, const char* key) {
    if (!readSetupIniValue(destination, destinationSize, key))
        return false;
    replaceLineBreaks(destination);
    return true;
}

bool readQuillFile() {
    std::vector<std::uint8_t> bytes;
    HANDLE file = CreateFileA("quill.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = GetFileSize(file, nullptr);
    DWORD got = 0;
    bool fits = size != INVALID_FILE_SIZE && size <= MAX_QUILL_BYTES;
    if (fits) {
        bytes.resize(size);
        fits = size == 0 || (ReadFile(file, bytes.data(), size, &got, nullptr) && got == size);
    }
    CloseHandle(file);
    if (!fits)
        return false;
    QuillValues values;
    std::string text = decodeQuill(std::move(bytes));
    QuillResult result = parseQuillText(text, values);
    SecureZeroMemory(text.data(), text.size());
    if (result.status != QuillStatus::OK)
        return false;
    std::snprintf(setupState.ApplicationName, SETUP_TEXT_BYTES, "%s", values.applicationName.c_str());
    std::snprintf(setupState.ApplicationVersion, SETUP_TEXT_BYTES, "%s", values.applicationVersion.c_str());
    std::snprintf(setupState.ProviderText, SETUP_TEXT_BYTES, "%s", values.providerText.c_str());
    std::snprintf(setupState.LicenceFileName, SETUP_TEXT_BYTES, "%s", values.licenceFileName.c_str());
    std::snprintf(setupState.WindowTitleText, SETUP_TEXT_BYTES, "%s Setup", setupState.ApplicationName);
    char title[COLOUR_VALUE_BYTES];
    if (readSetupIniValue(title, sizeof(title), "bgtitle="))
        std::snprintf(setupState.WindowTitleText, SETUP_TEXT_BYTES, "%s", title);
    return true;
}

int runSetup(HINSTANCE instance) {
    setupState.instance = instance;
    setupState.WizardPage = PAGE_END;
    LoadStringA(instance, IDS_CLASS_NAME, setupState.className, SETUP_TEXT_BYTES);
    LoadStringA(instance, IDS_WINDOW_CAPTION, setupState.windowCaption, SETUP_TEXT_BYTES);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    readSetupIni();
    if (!createBackgroundWindow(instance))
        return 0;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
