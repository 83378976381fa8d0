#pragma once
// The notification area and the shell's "open" verb.
#include "Varlo/ui/UiTypes.h"

struct NOTIFYICONDATAA {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  CHAR szTip[128];
  DWORD dwState;
  DWORD dwStateMask;
  CHAR szInfo[256];
  UINT uVersion;
  CHAR szInfoTitle[64];
  DWORD dwInfoFlags;
  BYTE guidItem[16];
  HICON hBalloonIcon;
};

constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_MODIFY = 1;
constexpr DWORD NIM_DELETE = 2;
constexpr UINT NIF_MESSAGE = 1;
constexpr UINT NIF_ICON = 2;
constexpr UINT NIF_TIP = 4;

// The icon's mouse input reaches its window as the callback message with wParam the icon id and
// lParam the mouse message (WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, ...). Adding fails while no
// notification area exists (no display here).
BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data);

// Nothing is started here: every request is appended to "shell-execute.log" in the stand-in's
// state folder as "<verb> <file>". Returns a value above 32.
HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder, int show);
