#include "tools/kestrel1-drive/ui_pump.h"

#include <cstdio>
#include <vector>

namespace kestrel::drive {
namespace {

// Long enough to stay cheap, short enough that waits end promptly.
constexpr DWORD PUMP_SLICE_MS = 20;
constexpr UINT RESPONDER_INTERVAL_MS = 20;
constexpr int CAPTION_SIZE = 128;

bool QuitSeen = false;
Responder Active;
UINT_PTR ResponderTimer = 0;
bool Responding = false;

std::wstring captionOf(HWND window) {
    wchar_t text[CAPTION_SIZE] = {};
    GetWindowTextW(window, text, CAPTION_SIZE);
    return text;
}

bool isDialog(HWND window) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    return std::wstring(className) == L"#32770" && IsWindowVisible(window);
}

std::vector<HWND> threadDialogs() {
    std::vector<HWND> found;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM list) {
            if (isDialog(window))
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

void CALLBACK respond(HWND, UINT, UINT_PTR, DWORD) {
    // A box opened by the responder's own answer runs its loop inside it.
    if (Responding || !Active)
        return;
    Responding = true;
    for (HWND dialog : threadDialogs()) {
        if (Active(dialog, captionOf(dialog)))
            break;
    }
    Responding = false;
}

} // namespace

bool pumpUntil(const std::function<bool()>& done, Clock::time_point deadline) {
    for (;;) {
        if (done())
            return true;
        if (QuitSeen || Clock::now() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, PUMP_SLICE_MS, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                QuitSeen = true;
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

bool quitSeen() { return QuitSeen; }

HWND findDialog(const wchar_t* caption) {
    for (HWND dialog : threadDialogs()) {
        if (captionOf(dialog) == caption)
            return dialog;
    }
    return nullptr;
}

void startResponder(Responder responder) {
    Active = std::move(responder);
    if (ResponderTimer == 0)
        ResponderTimer = SetTimer(nullptr, 0, RESPONDER_INTERVAL_MS, respond);
}

void stopResponder() {
    if (ResponderTimer != 0)
        KillTimer(nullptr, ResponderTimer);
    ResponderTimer = 0;
    Active = nullptr;
}

bool saveBitmap(HDC dc, HBITMAP bitmap, const std::string& path) {
    BITMAP shape = {};
    GetObjectW(bitmap, sizeof shape, &shape);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = shape.bmWidth;
    info.biHeight = shape.bmHeight;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD rowBytes = DWORD((shape.bmWidth * 3 + 3) & ~3);
    std::vector<unsigned char> pixels(std::size_t(rowBytes) * DWORD(shape.bmHeight));
    if (GetDIBits(dc, bitmap, 0, UINT(shape.bmHeight), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
                  DIB_RGB_COLORS) == 0)
        return false;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42; // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = DWORD(file.bfOffBits + pixels.size());
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&info, sizeof info, 1, out) == 1 &&
                   std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return std::fclose(out) == 0 && written;
}

} // namespace kestrel::drive

namespace kestrel::drive {

bool saveWindowPicture(HWND window, const std::string& path) {
    RECT frame = {};
    GetWindowRect(window, &frame);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, frame.right - frame.left, frame.bottom - frame.top);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    // Copied from the screen: with a real display driver this is exactly
    // what the user sees, the frame and every control included.
    bool painted = BitBlt(dc, 0, 0, frame.right - frame.left, frame.bottom - frame.top, screen, frame.left,
                          frame.top, SRCCOPY) != 0;
    SelectObject(dc, previous);
    bool saved = painted && saveBitmap(dc, bitmap, path);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return saved;
}

} // namespace kestrel::drive
