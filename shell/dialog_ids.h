// Control numbers of the Connect, Font and Terminal Settings dialogs. Read by
// the resource compiler as well as by C++, so plain #defines only.
#pragma once

// Connect (104)
#define IDC_CONNECT_SERVER 1000
#define IDC_CONNECT_USER 1001
#define IDC_CONNECT_PASSWORD 1002
#define IDC_CONNECT_PORT 1003
#define IDC_CONNECT_DELETE 1004

// Font (107)
#define IDC_FONT_FACE 1005
#define IDC_FONT_STYLE 1006
#define IDC_FONT_SIZE 1007

// Terminal Settings (108)
#define IDC_TERMINAL_VT52 1002
#define IDC_TERMINAL_VT100 1003
#define IDC_TERMINAL_SCROLLBACK 1004
