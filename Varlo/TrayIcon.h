#pragma once
// The agent's icon in the notification area; its mouse input reaches the main window as
// WM_TRAYICON.
#include "Varlo/ui/UiTypes.h"

class cTrayIcon {
 public:
  // The icon group for an agent status and system-log switch.
  static WORD IconFor(int status, int sysLog);

  // 0, or -1 when the shell refused (no notification area yet).
  int Add(HWND window, HINSTANCE instance, int status, int sysLog);
  int Modify(HINSTANCE instance, int status, int sysLog);
  // The shell's answer.
  int Delete();

 private:
  int Notify(DWORD message, HINSTANCE instance, int status, int sysLog);
  HWND m_hWnd = nullptr;
};
