#include "shell/shell_state.h"

namespace kestrel {

HINSTANCE Instance = nullptr;
HWND MainWindow = nullptr;
HWND MenuBar = nullptr;
wchar_t WindowClassName[16] = {};
wchar_t WindowTitle[16] = {};

int CipherChoice = CIPHER_CHOICE_3DES;
bool UseVt52 = false;
std::int32_t ScrollbackLines = 100;
char HostName[HOST_NAME_SIZE] = " ";
char PortText[PORT_TEXT_SIZE] = "22";
char UserName[USER_NAME_SIZE] = "username";
char Password[PASSWORD_SIZE] = "quorvane";
std::vector<std::wstring> DefaultServers;

Transport* CurrentConnection = nullptr;
SessionState* CurrentSession = nullptr;
bool ShuttingDown = false;

int TerminalWidth = 0;
int TerminalHeight = 0;
int TopOffset = 0;

ScreenBuffer& terminalScreen()
{
    static ScreenBuffer screen;
    return screen;
}

TerminalParser& terminalParser()
{
    static TerminalParser parser;
    return parser;
}

}  // namespace kestrel
