// Resource, command and control numbers of Kestrel1.exe. Read by the resource
// compiler as well as by C++, so plain #defines only.
#pragma once

#define IDI_KESTREL1 101
#define IDR_MAIN_MENU 102
#define IDC_TERMINAL_SCROLLBAR 103
#define IDB_CURSOR_BLOCK 112

#define IDD_CONNECT 104
#define IDD_ABOUT 105
#define IDD_FONT 107
#define IDD_TERMINAL_SETTINGS 108

#define IDC_ABOUT_TEXT 1010

#define IDM_COPY 104
#define IDM_PASTE 105
#define IDM_CIPHER_3DES 40004
#define IDM_CIPHER_BLOWFISH 40006
#define IDM_FONTS 40008
#define IDM_PREFERENCES 40011
#define IDM_CIPHER_NONE 40012
#define IDM_SELECT_ALL 40017
#define IDM_CONNECT 40020
#define IDM_ABOUT 40021
#define IDM_CONTENTS 40022
#define IDM_EXIT 40024

#define IDB_MENU_CONNECT 40025
#define IDB_MENU_VIEW 40026
#define IDB_MENU_TOOLS 40027
#define IDB_MENU_HELP 40028

#define IDS_MENU_CONNECT 40029
#define IDS_MENU_VIEW 40030
#define IDS_MENU_TOOLS 40031
#define IDS_MENU_HELP 40032

// Menu-bar description: the resource type the desktop menu bar reads.
#define RT_MENU_BAR_DESCRIPTION 10
#define MENU_BAR_NO_IMAGE (-2)
#define MENU_BAR_ENABLED 4
#define MENU_BAR_DROP_DOWN 8
