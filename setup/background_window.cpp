// The full-screen background with its gradient and title, the splash picture
// and the order in which the program runs once the background exists.
#include "setup/setup_state.h"

#include "setup/core/setup_layout.h"
#include "setup/resource.h"

#include <cstring>
#include <vector>

namespace {

constexpr UINT START_DELAY_MS = 500;
constexpr const char* SPLASH_CLASS = "SplashWindow";
constexpr const char* SPLASH_FILE = "setup.bmp";

void readBackgroundColours() {
    setupState.topColour = {0, 0, 255};
    setupState.bottomColour = {0, 0, 0};
    char value[COLOUR_VALUE_BYTES];
    if (readSetupIniValue(value, sizeof(value), "bgtopcolor="))
        setupState.topColour = parseColour(value);
    if (readSetupIniValue(value, sizeof(value), "bgbottomcolor="))
        setupState.bottomColour = parseColour(value);
}

void paintTitle(HDC dc) {
    HFONT font = CreateFontA(40, 0, 0, 0, FW_BOLD, TRUE, FALSE, FALSE, DEFAULT_CHARSET, OUT_CHARACTER_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_ROMAN, nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    int length = static_cast<int>(std::strlen(setupState.WindowTitleText));
    SetTextColor(dc, RGB(0, 0, 0));
    TextOutA(dc, 15, 15, setupState.WindowTitleText, length);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, 10, 10, setupState.WindowTitleText, length);
    SelectObject(dc, previous);
    DeleteObject(font);
}

LRESULT CALLBACK splashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    HBITMAP bitmap = reinterpret_cast<HBITMAP>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case WM_CREATE:
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        BITMAP size{};
        GetObjectA(bitmap, sizeof(size), &size);
        HDC memory = CreateCompatibleDC(dc);
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(dc, 0, 0, size.bmWidth, size.bmHeight, memory, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
        DeleteDC(memory);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        DeleteObject(bitmap);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// A damaged picture only means no splash: the wizard goes on without it.
void showSplash(HWND background) {
    if (GetFileAttributesA(SPLASH_FILE) == INVALID_FILE_ATTRIBUTES)
        return;
    HBITMAP bitmap = loadBitmapFile(background, SPLASH_FILE);
    BITMAP size{};
    if (bitmap == nullptr || !GetObjectA(bitmap, sizeof(size), &size)) {
        if (bitmap != nullptr)
            DeleteObject(bitmap);
        return;
    }
    WNDCLASSA splashClass{};
    splashClass.style = CS_HREDRAW | CS_VREDRAW;
    splashClass.lpfnWndProc = splashWindowProc;
    splashClass.hInstance = setupState.instance;
    splashClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    splashClass.lpszClassName = SPLASH_CLASS;
    RegisterClassA(&splashClass);
    int x = (GetSystemMetrics(SM_CXSCREEN) - size.bmWidth) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - size.bmHeight) / 2;
    setupState.splashWindow = CreateWindowExA(0, SPLASH_CLASS, "", WS_POPUP | WS_VISIBLE, x, y, size.bmWidth,
                                              size.bmHeight, nullptr, nullptr, setupState.instance, bitmap);
    if (setupState.splashWindow == nullptr) {
        DeleteObject(bitmap);
        return;
    }
    setupState.SplashShown = true;
    ShowWindow(setupState.splashWindow, SW_SHOW);
    UpdateWindow(setupState.splashWindow);
}

void closeSplash() {
    if (setupState.splashWindow == nullptr)
        return;
    ShowWindow(setupState.splashWindow, SW_HIDE);
    SendMessageA(setupState.splashWindow, WM_CLOSE, 0, 0);
    setupState.splashWindow = nullptr;
}

void runProgram(HWND background) {
    KillTimer(background, TIMER_START);
    setupState.WizardPage = PAGE_WELCOME;
    showSplash(background);
    DialogBoxParamA(setupState.instance, MAKEINTRESOURCEA(IDD_PROGRESS), background, prepareInstallation, 0);
    ShowWindow(background, SW_SHOW);
    closeSplash();
    runWizardPages(background);
    DestroyWindow(background);
}

} // namespace

void paintGradient(HDC dc, Colour top, Colour bottom) {
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    int bandHeight = gradientBandHeight(height);
    int bands = gradientBandCount(height);
    for (int band = 0; band < bands; ++band) {
        Colour colour = gradientBandColour(top, bottom, band, height);
        HBRUSH brush = CreateSolidBrush(RGB(colour.red, colour.green, colour.blue));
        RECT rect{0, band * bandHeight, width, (band + 1) * bandHeight};
        FillRect(dc, &rect, brush);
        DeleteObject(brush);
    }
}

HBITMAP loadBitmapFile(HWND window, const char* fileName) {
    HANDLE file = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD size = GetFileSize(file, nullptr);
    std::vector<std::uint8_t> bytes;
    DWORD got = 0;
    if (size != INVALID_FILE_SIZE && size <= MAX_SPLASH_FILE_BYTES) {
        bytes.resize(size);
        if (size == 0 || !ReadFile(file, bytes.data(), size, &got, nullptr) || got != size)
            bytes.clear();
    }
    CloseHandle(file);
    BitmapLayout layout;
    if (parseBitmapFile(bytes.data(), bytes.size(), layout) != BitmapStatus::OK)
        return nullptr;
    std::vector<std::uint32_t> info = platformBitmapInfo(bytes.data(), layout);
    auto* header = reinterpret_cast<BITMAPINFO*>(info.data());
    HDC dc = GetDC(window);
    HBITMAP bitmap = CreateDIBitmap(dc, &header->bmiHeader, CBM_INIT, bytes.data() + layout.pixelOffset, header,
                                    DIB_RGB_COLORS);
    ReleaseDC(window, dc);
    return bitmap;
}

LRESULT CALLBACK backgroundWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        readBackgroundColours();
        SetTimer(window, TIMER_START, START_DELAY_MS, nullptr);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        paintGradient(dc, setupState.topColour, setupState.bottomColour);
        paintTitle(dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_TIMER:
        if (wParam == TIMER_START)
            runProgram(window);
        return 0;
    case WM_DESTROY:
        free(setupState.iniText);
        setupState.iniText = nullptr;
        setupState.IniPresent = false;
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
