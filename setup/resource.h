// Resource, control and timer numbers of the setup wizard (shared by the
// resource script and the code).
#pragma once

#define IDS_CLASS_NAME 1
#define IDS_WINDOW_CAPTION 2

#define IDI_SETUP 101
#define IDB_WELCOME_PICTURE 120
#define IDB_USER_PICTURE 121
#define IDB_COMPLETE_PICTURE 122

#define IDD_PROGRESS 200
#define IDD_WELCOME 201
#define IDD_LICENCE 202
#define IDD_USER_INFO 203
#define IDD_COMPLETE 204

#define IDC_PROGRESS_BAR 1001
#define IDC_TEXT1 1011
#define IDC_TEXT2 1012
#define IDC_TEXT3 1013
#define IDC_TEXT4 1014
#define IDC_TEXT5 1015
#define IDC_LICENCE_TEXT 1020
#define IDC_QUESTION 1021
#define IDC_NAME 1030
#define IDC_COMPANY 1031
#define IDC_BACK 1040
#define IDC_REFUSE 1041

#define TIMER_NAME_CHECK 102
#define TIMER_START 103
#define TIMER_APP_MANAGER 110
