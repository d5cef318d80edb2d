// Drives the real MainWindow in the test's own process: a private registry
// root, the simulated device, bounded message pumps and painting into memory.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "shell/device_services.h"
#include "shell/main_window.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel::test {

// Handles sent and posted messages until done() or the bound runs out.
bool pumpUntil(const std::function<bool()>& done, DWORD boundMs = 10000);
void pumpFor(DWORD ms);

// The buffer line as text (empty cells as blanks, trailing blanks cut).
std::string lineText(std::int32_t line);
void feed(const std::string& bytes);
std::wstring clipboardText();

// The terminal painted into a white 32-bit memory surface, read back.
class Painted {
public:
    Painted();
    ~Painted();
    void paintAgain();
    COLORREF pixel(int x, int y) const;
    // How many pixels of a cell (column from 0, row of the view from 0) have
    // this colour.
    int countInCell(int column, int row, COLORREF colour) const;

private:
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    std::uint32_t* bits_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

// Redirects HKEY_CURRENT_USER to a scratch key of this process.
class PrivateRegistry {
public:
    PrivateRegistry();
    ~PrivateRegistry();

private:
    HKEY root_ = nullptr;
    std::wstring path_;
};

// The main window of a 240 by 320 device, created by the real start-up.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void startShell();

    PrivateRegistry registry_;
};

}  // namespace kestrel::test
