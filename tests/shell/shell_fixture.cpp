#include "shell_fixture.h"

#include <vector>

#include "engine/status_log.h"

namespace kestrel::test {

bool pumpUntil(const std::function<bool()>& done, DWORD boundMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > boundMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message != WM_QUIT) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    return true;
}

void pumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    pumpUntil([&] { return GetTickCount() - start >= ms; }, ms + 1000);
}

std::string lineText(std::int32_t line)
{
    const ScreenBuffer& screen = terminalScreen();
    std::string text;
    const std::uint8_t* cells = screen.characters() + static_cast<std::size_t>(line - 1) * screen.columns();
    for (int c = 0; c < screen.columns(); ++c) {
        text.push_back(cells[c] == 0 ? ' ' : static_cast<char>(cells[c]));
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

void feed(const std::string& bytes) { logStatus(bytes); }

std::wstring clipboardText()
{
    std::wstring text;
    if (OpenClipboard(nullptr)) {
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        if (auto* locked = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr) {
            text = locked;
            GlobalUnlock(data);
        }
        CloseClipboard();
    }
    return text;
}

Painted::Painted()
{
    width_ = TerminalWidth;
    height_ = TerminalHeight;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width_, -height_, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screenDc = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screenDc);
    ReleaseDC(nullptr, screenDc);
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<std::uint32_t*>(bits);
    previous_ = SelectObject(dc_, bitmap_);
    RECT all = {0, 0, width_, height_};
    FillRect(dc_, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    paintAgain();
}

Painted::~Painted()
{
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
}

void Painted::paintAgain()
{
    ViewReadLock hold;
    paintTerminal(dc_);
    GdiFlush();
}

COLORREF Painted::pixel(int x, int y) const
{
    std::uint32_t value = bits_[static_cast<std::size_t>(y) * width_ + x];
    return RGB((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
}

int Painted::countInCell(int column, int row, COLORREF colour) const
{
    int count = 0;
    for (int y = row * CellHeight; y < (row + 1) * CellHeight; ++y) {
        for (int x = column * CellWidth; x < (column + 1) * CellWidth; ++x) {
            count += pixel(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

PrivateRegistry::PrivateRegistry()
{
    path_ = L"Software\\KestrelShellTests\\" + std::to_wstring(GetCurrentProcessId());
    RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, root_);
}

PrivateRegistry::~PrivateRegistry()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(root_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

void ShellTest::SetUp()
{
    deviceProfile() = DeviceProfile{};
    static bool registered = registerWindowClass(GetModuleHandleW(nullptr));
    ASSERT_TRUE(registered);
}

void ShellTest::startShell()
{
    ASSERT_TRUE(instanceSetup(GetModuleHandleW(nullptr), SW_SHOWNORMAL));
    pumpFor(50);
}

void ShellTest::TearDown()
{
    if (MainWindow != nullptr) {
        DestroyWindow(MainWindow);
    }
    pumpFor(20);
}

}  // namespace kestrel::test
