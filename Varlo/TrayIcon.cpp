#include "Varlo/TrayIcon.h"

#include <cstring>

#include "Varlo/TrayMessages.h"
#include "Varlo/ui/UiGdi.h"
#include "Varlo/ui/UiShell.h"

namespace {

constexpr DWORD kNotifyIconDataSize = 528;

}  // namespace

WORD cTrayIcon::IconFor(int status, int sysLog) {
  if (status <= 1) return IDI_SIGNED_OUT;
  return sysLog ? IDI_SIGNED_IN : IDI_COLLECTION_OFF;
}

int cTrayIcon::Notify(DWORD message, HINSTANCE instance, int status, int sysLog) {
  NOTIFYICONDATAA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = kNotifyIconDataSize;
  data.hWnd = m_hWnd;
  data.uID = 0;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAYICON;
  data.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IconFor(status, sysLog)));
  std::strcpy(data.szTip, "VARLO");
  BOOL done = Shell_NotifyIconA(message, &data);
  return done ? 0 : -1;
}

int cTrayIcon::Add(HWND window, HINSTANCE instance, int status, int sysLog) {
  m_hWnd = window;
  return Notify(NIM_ADD, instance, status, sysLog);
}

int cTrayIcon::Modify(HINSTANCE instance, int status, int sysLog) { return Notify(NIM_MODIFY, instance, status, sysLog); }

int cTrayIcon::Delete() {
  if (!m_hWnd) return 0;
  NOTIFYICONDATAA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = kNotifyIconDataSize;
  data.hWnd = m_hWnd;
  data.uID = 0;
  return Shell_NotifyIconA(NIM_DELETE, &data);
}
