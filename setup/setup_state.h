// The wizard's program-wide state, owned by the user-interface thread (the
// connection check only ever sets DeviceConnected).
#pragma once

#include "setup/core/setup_text.h"

#include <windows.h>

#include <atomic>

constexpr int SETUP_TEXT_BYTES = 500;
constexpr int COLOUR_VALUE_BYTES = 100;
constexpr int PAGE_TEXT_BYTES = 250;

enum WizardPageNumber { PAGE_END = 0, PAGE_WELCOME = 1, PAGE_LICENCE = 2, PAGE_USER_INFO = 3, PAGE_COMPLETE = 4 };

struct SetupState {
    char className[SETUP_TEXT_BYTES];
    char windowCaption[SETUP_TEXT_BYTES];
    char* iniText;
    bool IniPresent;
    char ApplicationName[SETUP_TEXT_BYTES];
    char ApplicationVersion[SETUP_TEXT_BYTES];
    char ProviderText[SETUP_TEXT_BYTES];
    char WindowTitleText[SETUP_TEXT_BYTES];
    char LicenceFileName[SETUP_TEXT_BYTES];
    bool SplashShown;
    std::atomic<bool> DeviceConnected;
    bool DeviceNotConnected;
    int WizardPage;
    HKEY AppManagerKey;
    PROCESS_INFORMATION AppManagerProcess;
    HWND backgroundWindow;
    HWND splashWindow;
    HINSTANCE instance;
    Colour topColour;
    Colour bottomColour;
};

extern SetupState setupState;

// A non-empty value of key from setup.ini, when there is one.
bool readSetupIniValue(char* destination, int destinationSize, const char* key);
// The same, with the \r line breaks of page texts turned into CR LF.
bool readPageText(char* destination, int destinationSize, const char* key);

// Which registry values prefill the User Information page depends on this.
struct PlatformVersion {
    enum Family { FAMILY_WIN95, FAMILY_NT, FAMILY_OTHER } family;
    DWORD major;
};
using PlatformVersionQuery = PlatformVersion (*)();
// Tests point this elsewhere to take every prefill branch.
extern PlatformVersionQuery queryPlatformVersion;

// Runs the whole program from start to the quit message; returns its exit code.
int runSetup(HINSTANCE instance);

LRESULT CALLBACK backgroundWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void paintGradient(HDC dc, Colour top, Colour bottom);
HBITMAP loadBitmapFile(HWND window, const char* fileName);
void runWizardPages(HWND owner);

INT_PTR CALLBACK prepareInstallation(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Fills the identity values from "quill.bin"; false when the file is damaged.
bool readQuillFile();
bool launchAppManager(HWND owner);
