#include "shell_fixture.h"

#include <algorithm>

#include "engine/status_log.h"

namespace kestrel::test {

bool pumpUntil(const std::function<bool()>& done, DWORD boundMs)
{
    for (DWORD start = GetTickCount(); !done();) {
        if (GetTickCount() - start > boundMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
            if (routeToModelessDialog(message)) {
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

void pumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    pumpUntil([&] { return GetTickCount() - start >= ms; }, ms + 1000);
}

void feed(const std::string& bytes) { logStatus(bytes); }

std::string lineText(std::int32_t line)
{
    const ScreenBuffer& screen = terminalScreen();
    const std::uint8_t* cells = screen.characters() + static_cast<std::size_t>(line - 1) * screen.columns();
    std::string text(cells, cells + screen.columns());
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

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
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), TerminalWidth, -TerminalHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
    previous = SelectObject(dc, bitmap);
    PatBlt(dc, 0, 0, TerminalWidth, TerminalHeight, WHITENESS);
    paintAgain();
}

Painted::~Painted()
{
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

void Painted::paintAgain()
{
    ViewReadLock hold;
    paintTerminal(dc);
    GdiFlush();
}

int Painted::countInCell(int column, int row, COLORREF colour) const
{
    int count = 0;
    for (int y = row * CellHeight; y < (row + 1) * CellHeight; ++y) {
        for (int x = column * CellWidth; x < (column + 1) * CellWidth; ++x) {
            std::uint32_t value = bits[static_cast<std::size_t>(y) * TerminalWidth + x];
            count += RGB((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF) == colour ? 1 : 0;
        }
    }
    return count;
}

PrivateRegistry::PrivateRegistry()
{
    RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, root);
}

PrivateRegistry::~PrivateRegistry()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(root);
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
}

void ShellTest::SetUp()
{
    deviceProfile() = DeviceProfile{};
    Selection = {};  // lives as long as the program, so across tests here
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
