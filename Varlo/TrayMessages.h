#pragma once
// Message codes of the mailslot link as the tray program sends and receives them, the window
// messages between its windows, and its resource ids.
#include <cstdint>

#include "Varlo/ui/UiTypes.h"

// Tray program to service.
constexpr uint8_t MSG_UI_USER = 1;
constexpr uint8_t MSG_UI_LOGIN = 2;
constexpr uint8_t MSG_UI_SYSLOG = 3;
constexpr uint8_t MSG_UI_WEBLOG = 4;
constexpr uint8_t MSG_UI_MODULE = 5;
constexpr uint8_t MSG_UI_PAGE = 6;
constexpr uint8_t MSG_UI_AUTOUPDATE = 7;

// Sub-codes of MSG_UI_USER.
constexpr uint8_t kUserRegister = 1;
constexpr uint8_t kUserStartEverywhere = 2;

// Service to tray program.
constexpr uint8_t MSG_SVC_START = 1;
constexpr uint8_t MSG_SVC_STATUS = 2;
constexpr uint8_t MSG_SVC_SYSLOG = 3;
constexpr uint8_t MSG_SVC_WEBLOG = 4;
constexpr uint8_t MSG_SVC_UPLOADTIME = 6;
constexpr uint8_t MSG_SVC_AUTOUPDATE = 7;
constexpr uint8_t MSG_SVC_EXIT = 8;

constexpr char kServiceSlot[] = "\\\\.\\mailslot\\VARLO";
constexpr int kTraySlots = 10;

// Window messages of the tray program.
constexpr UINT WM_TRAYICON = WM_USER + 100;      // notification-icon input
constexpr UINT WM_LOGIN_KEY = WM_USER + 101;     // the login dialog has a key to send
constexpr UINT WM_LOGIN_RESULT = WM_USER + 102;  // to the login dialog: wParam kLogin...
constexpr UINT WM_SERVICE_MSG = WM_USER + 103;   // one service message: wParam code, lParam value

constexpr WPARAM kLoginShowError = 1;
constexpr WPARAM kLoginSucceeded = 2;
constexpr WPARAM kLoginCancelled = 3;

// Commands.
constexpr WORD IDM_OPEN = 110;
constexpr WORD IDM_CLOSE = 111;

// Resources.
constexpr WORD IDD_MAIN = 102;
constexpr WORD IDD_LOGIN = 103;
constexpr UINT IDS_TITLE = 103;
constexpr UINT IDS_LOGIN_FAILED_CAPTION = 104;
constexpr UINT IDS_LOGIN_FAILED = 105;
constexpr UINT IDS_NO_SERVICE = 106;
constexpr UINT IDS_SIGN_OUT = 107;
constexpr UINT IDS_SIGN_OUT_CAPTION = 108;
constexpr UINT IDS_MODULE_REMOVED_CAPTION = 109;
constexpr UINT IDS_MODULE_REMOVED = 110;
constexpr WORD IDI_SIGNED_IN = 130;
constexpr WORD IDB_UPDATE_BUTTON = 140;
constexpr WORD IDB_HEADER = 134;
constexpr WORD IDB_FOOTER = 136;
constexpr WORD IDB_PAGE0 = 137;
constexpr WORD IDB_PAGE1 = 138;
constexpr WORD IDB_PAGE2 = 139;
constexpr WORD IDB_SYSLOG_SWITCH = 141;
constexpr WORD IDB_WEBLOG_BOX = 142;
constexpr WORD IDB_AUTOUPDATE_BOX = 143;
constexpr WORD IDB_LOGIN = 144;
constexpr WORD IDB_BANNER = 146;
constexpr WORD IDB_SYSMON = 147;
constexpr WORD IDB_WEBLOG_INDICATOR = 148;
constexpr WORD IDI_COLLECTION_OFF = 149;
constexpr WORD IDI_SIGNED_OUT = 150;
