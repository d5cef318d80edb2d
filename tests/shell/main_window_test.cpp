// Start-up, the terminal area, the menus and the About box of the real
// MainWindow; single instance with two real processes.
#include "shell_fixture.h"

#include <algorithm>

#include "shell/dialog_ids.h"
#include "shell/resource_ids.h"

namespace kestrel::test {
namespace {

HMENU toolsMenu() { return reinterpret_cast<HMENU>(SendMessageW(MenuBar, MSG_MENU_BAR_GET_SUB_MENU, 0, IDB_MENU_TOOLS)); }

bool checked(HMENU menu, UINT item) { return (GetMenuState(menu, item, MF_BYCOMMAND) & MF_CHECKED) != 0; }

TEST_F(ShellTest, BannerLinesInOrder)
{
    startShell();
    EXPECT_EQ(lineText(1), "Kestrel1 v1.00.46 Initialized.");
    // The second line may wrap on the narrow screen; the third starts on the
    // row after it (a line feed also returns the carriage here).
    std::size_t columns = static_cast<std::size_t>(terminalScreen().columns());
    std::string cells;
    for (std::int32_t line = 2; line <= 6; ++line) {
        cells += lineText(line) + std::string(columns - lineText(line).size(), ' ');
    }
    std::string version = "Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.";
    EXPECT_EQ(cells.substr(0, version.size()), version);
    std::size_t nextRow = (version.size() + columns - 1) / columns * columns;
    EXPECT_EQ(cells.find("SSH Version 1.5 protocol only."), nextRow);
    RecordProperty("cell", std::to_string(CellWidth) + "x" + std::to_string(CellHeight));
}

TEST_F(ShellTest, TerminalAreaFollowsTheDeviceAndIgnoresLaterSizes)
{
    struct Case {
        int width, height;
        bool panel;
        int expectedHeight;
    };
    int scrollBar = GetSystemMetrics(SM_CXVSCROLL);
    for (Case c : {Case{240, 320, false, 320 - 26 - 26}, Case{240, 320, true, 320 - 26 - 26 - 80},
                   Case{480, 640, false, 640 - 52}}) {
        deviceProfile() = {c.width, c.height, c.panel, false};
        startShell();
        EXPECT_EQ(TerminalWidth, c.width - scrollBar);
        EXPECT_EQ(TerminalHeight, c.expectedHeight);
        RECT client = {};
        GetClientRect(MainWindow, &client);
        EXPECT_EQ(client.right, c.width);
        EXPECT_EQ(client.bottom, c.expectedHeight);
        EXPECT_EQ(terminalScreen().columns(), TerminalWidth / CellWidth);
        EXPECT_EQ(terminalScreen().rows(), TerminalHeight / CellHeight);
        RECT bar = {};
        GetWindowRect(ScrollBar, &bar);
        MapWindowPoints(nullptr, MainWindow, reinterpret_cast<POINT*>(&bar), 2);
        EXPECT_EQ(bar.left, TerminalWidth);
        EXPECT_EQ(bar.right, c.width);
        EXPECT_EQ(bar.bottom, c.expectedHeight);

        std::int32_t rows = terminalScreen().rows();
        deviceProfile().inputPanelShown = !c.panel;
        SetWindowPos(MainWindow, nullptr, 0, 0, 700, 500, SWP_NOMOVE | SWP_NOZORDER);
        pumpFor(20);
        EXPECT_EQ(terminalScreen().rows(), rows);
        DestroyWindow(MainWindow);
    }
}

TEST_F(ShellTest, CipherItemsKeepExactlyOneCheck)
{
    startShell();
    ASSERT_NE(toolsMenu(), nullptr);
    EXPECT_TRUE(checked(toolsMenu(), IDM_CIPHER_3DES));
    SendMessageW(MainWindow, WM_COMMAND, IDM_CIPHER_BLOWFISH, 0);
    EXPECT_EQ(CipherChoice, 6);
    SendMessageW(MainWindow, WM_COMMAND, IDM_CIPHER_NONE, 0);
    EXPECT_EQ(CipherChoice, 0);
    EXPECT_FALSE(checked(toolsMenu(), IDM_CIPHER_3DES));
    EXPECT_FALSE(checked(toolsMenu(), IDM_CIPHER_BLOWFISH));
    EXPECT_TRUE(checked(toolsMenu(), IDM_CIPHER_NONE));
    wchar_t caption[32] = {};
    GetMenuStringW(GetMenu(MainWindow), 2, caption, 32, MF_BYPOSITION);
    EXPECT_STREQ(caption, L"Tools");
}

// Message boxes and dialogs are answered from a CBT hook: it records the
// window's texts, then closes it through its caption.
std::wstring SeenCaption;
std::wstring SeenText;

LRESULT CALLBACK answerWindow(int code, WPARAM wParam, LPARAM lParam)
{
    auto window = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_ACTIVATE && window != MainWindow) {
        wchar_t text[128] = {};
        GetWindowTextW(window, text, 128);
        SeenCaption = text;
        SeenText.clear();
        for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            GetWindowTextW(child, text, 128);
            SeenText += text;
        }
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct AnswerWindows {
    HHOOK hook = SetWindowsHookExW(WH_CBT, answerWindow, nullptr, GetCurrentThreadId());
    ~AnswerWindows() { UnhookWindowsHookEx(hook); }
};

TEST_F(ShellTest, AboutBoxShowsNameAndBuildAndClosesFromItsCaption)
{
    startShell();
    AnswerWindows answer;
    SendMessageW(MainWindow, WM_COMMAND, IDM_ABOUT, 0);
    EXPECT_EQ(SeenCaption, L"About Kestrel");
    EXPECT_EQ(SeenText, L"Kestrel1 v1.00.46\n\n1.00.46/3DESCBC/BLOWFISH\n/GMP/CRYPTO++");
}

TEST_F(ShellTest, EnterEndsTheModelessSettingsDialogsWithOk)
{
    startShell();
    for (auto [command, caption] : {std::pair{IDM_FONTS, L"Font"}, std::pair{IDM_PREFERENCES, L"Terminal Settings"}}) {
        SendMessageW(MainWindow, WM_COMMAND, command, 0);
        HWND dialog = FindWindowW(nullptr, caption);
        ASSERT_NE(dialog, nullptr) << caption;
        SetActiveWindow(dialog);
        HWND focus = GetFocus() != nullptr ? GetFocus() : dialog;
        PostMessageW(focus, WM_KEYDOWN, VK_RETURN, 0);
        EXPECT_TRUE(pumpUntil([&] { return !IsWindow(dialog); }, 3000)) << caption;
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orrin Software\\Kestrel1", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, L"CEChannelFontName", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

std::wstring selectedEntry(HWND dialog, int box)
{
    HWND control = GetDlgItem(dialog, box);
    LRESULT index = SendMessageW(control, CB_GETCURSEL, 0, 0);
    wchar_t text[LF_FACESIZE + 1] = {};
    if (index == CB_ERR || SendMessageW(control, CB_GETLBTEXTLEN, WPARAM(index), 0) > LF_FACESIZE)
        return L"<none>";
    SendMessageW(control, CB_GETLBTEXT, WPARAM(index), reinterpret_cast<LPARAM>(text));
    return text;
}

bool selectEntry(HWND dialog, int box, const wchar_t* text)
{
    HWND control = GetDlgItem(dialog, box);
    LRESULT index = SendMessageW(control, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(text));
    return index != CB_ERR && SendMessageW(control, CB_SETCURSEL, WPARAM(index), 0) == index;
}

// The face the terminal font asked for, and the one the mapper gave.
std::pair<std::wstring, std::wstring> terminalFontFaces()
{
    LOGFONTW asked = {};
    GetObjectW(TerminalFont, sizeof asked, &asked);
    wchar_t given[LF_FACESIZE] = {};
    HDC dc = GetDC(MainWindow);
    HGDIOBJ previous = SelectObject(dc, TerminalFont);
    GetTextFaceW(dc, LF_FACESIZE, given);
    SelectObject(dc, previous);
    ReleaseDC(MainWindow, dc);
    return {asked.lfFaceName, given};
}

// A face of 15 characters (the one this platform maps "Terminal" to) is made
// and stored under its full name, and the program's next start restores it
// with its size and style.
TEST_F(ShellTest, FontFaceOf15CharactersSurvivesARestart)
{
    const std::wstring face = L"Liberation Mono";
    startShell();
    SendMessageW(MainWindow, WM_COMMAND, IDM_FONTS, 0);
    HWND dialog = FindWindowW(nullptr, L"Font");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(selectEntry(dialog, IDC_FONT_FACE, face.c_str()));
    ASSERT_TRUE(selectEntry(dialog, IDC_FONT_SIZE, L"10"));
    ASSERT_TRUE(selectEntry(dialog, IDC_FONT_STYLE, L"Bold"));
    SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    pumpFor(20);
    EXPECT_EQ(terminalFontFaces(), std::pair(face, face));

    DestroyWindow(MainWindow);
    pumpFor(20);
    startShell();
    EXPECT_EQ(terminalFontFaces(), std::pair(face, face));
    LOGFONTW made = {};
    GetObjectW(TerminalFont, sizeof made, &made);
    EXPECT_EQ(made.lfHeight, -13);
    EXPECT_EQ(made.lfWeight, 700);
    SendMessageW(MainWindow, WM_COMMAND, IDM_FONTS, 0);
    dialog = FindWindowW(nullptr, L"Font");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(selectedEntry(dialog, IDC_FONT_FACE), face);
    EXPECT_EQ(selectedEntry(dialog, IDC_FONT_SIZE), L"10");
    EXPECT_EQ(selectedEntry(dialog, IDC_FONT_STYLE), L"Bold");
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
}

TEST_F(ShellTest, MenuBarFailureShowsTheBoxAndKeepsGoing)
{
    deviceProfile().menuBarFails = true;
    AnswerWindows answer;
    startShell();
    EXPECT_EQ(SeenCaption, L"Error");
    EXPECT_NE(SeenText.find(L"SHCreateMenuBar Failed"), std::wstring::npos);
    EXPECT_EQ(MenuBar, nullptr);
    SendMessageW(MainWindow, WM_COMMAND, IDM_CIPHER_BLOWFISH, 0);
    EXPECT_EQ(CipherChoice, 6);
}

TEST(SingleInstance, SecondCopyBringsTheFirstForwardAndExitsWithZero)
{
    auto start = [](PROCESS_INFORMATION& process) {
        STARTUPINFOW startup = {sizeof(startup)};
        // The build's Unix path, seen through Wine's drive for the root.
        std::wstring path = L"Z:" KESTREL1_EXE;
        std::replace(path.begin(), path.end(), L'/', L'\\');
        return CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process) != 0;
    };
    PROCESS_INFORMATION first = {};
    PROCESS_INFORMATION second = {};
    ASSERT_TRUE(start(first));
    HWND window = nullptr;
    EXPECT_TRUE(pumpUntil([&] { return (window = FindWindowW(L"Kestrel1", L"Kestrel1")) != nullptr; }));
    ASSERT_TRUE(start(second));
    DWORD code = 99;
    EXPECT_EQ(WaitForSingleObject(second.hProcess, 20000), WAIT_OBJECT_0);
    GetExitCodeProcess(second.hProcess, &code);
    EXPECT_EQ(code, 0U);
    EXPECT_EQ(WaitForSingleObject(first.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(WaitForSingleObject(first.hProcess, 20000), WAIT_OBJECT_0);
    for (HANDLE handle : {first.hProcess, first.hThread, second.hProcess, second.hThread}) {
        CloseHandle(handle);
    }
}

}  // namespace
}  // namespace kestrel::test
