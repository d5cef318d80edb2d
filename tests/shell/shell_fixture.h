// Drives the real MainWindow in the test's own process: a private registry
// root, the simulated device, bounded message pumps, painting into memory.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "shell/device_services.h"
#include "shell/main_window.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel::test {

// Handles sent and posted messages until done() or the bound runs out.
bool pumpUntil(const std::function<bool()>& done, DWORD boundMs = 10000);
void pumpFor(DWORD ms);
void feed(const std::string& bytes);
// A buffer line as text, empty cells as blanks, trailing blanks cut.
std::string lineText(std::int32_t line);
std::wstring clipboardText();

// The terminal painted onto white 32-bit memory, read back.
struct Painted {
    Painted();
    ~Painted();
    void paintAgain();
    // How many pixels of a cell (column and view row from 0) have the colour.
    int countInCell(int column, int row, COLORREF colour) const;

    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    std::uint32_t* bits = nullptr;
};

// HKEY_CURRENT_USER redirected to a scratch key of this process.
struct PrivateRegistry {
    PrivateRegistry();
    ~PrivateRegistry();
    HKEY root = nullptr;
    std::wstring path = L"Software\\KestrelShellTests\\" + std::to_wstring(GetCurrentProcessId());
};

// The main window of a 240 by 320 device, made by the real start-up.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void startShell();
    PrivateRegistry registry_;
};

}  // namespace kestrel::test
