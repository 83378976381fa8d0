#pragma once
// The tray program's one window object: the agent state as the service last reported it, the
// link to the service, the notification icon, the skinned main window and the login dialog.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "Varlo/LoginDlg.h"
#include "Varlo/MsgClient.h"
#include "Varlo/RepoClient.h"
#include "Varlo/SkinButton.h"
#include "Varlo/StaticText.h"
#include "Varlo/TrayIcon.h"
#include "Varlo/ui/UiTypes.h"

class cVarloWnd {
 public:
  cVarloWnd() = default;
  ~cVarloWnd();
  cVarloWnd(const cVarloWnd&) = delete;
  cVarloWnd& operator=(const cVarloWnd&) = delete;

  static INT_PTR DlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // The link's callback, on the reader thread: one message of length bytes.
  static void OnServiceMsg(void* owner, const uint8_t* message, size_t length);

  // One service message, on the window thread. 1.
  int OnVarloService(int code, int64_t value);
  void OnOpen();
  // 1 signed in by the dialog, else 0.
  int ShowLogin();
  void ShowMain();
  void SetPage(int page);
  void NotifyPage0(int shown);
  // 1 when another web-module version is published and may be installed, else 0.
  int CheckModuleUpdate();
  // The result of the last settings read.
  int LoadProxy();
  std::string ServiceText();

  int m_Status = -1;
  int m_OpenRequested = 1;
  int m_SysLog = 1;
  int m_WebLog = 0;
  std::string m_InstallDir = "C:\\Program Files\\VARLO";
  std::string m_ServiceText;  // written by the reader thread, under m_ServiceTextLock
  cMsgClient m_Link;
  cRepoClient m_RepoClient;
  HINSTANCE m_hInstance = nullptr;
  std::atomic<HWND> m_hWnd{nullptr};
  HBITMAP m_hHeader = nullptr;
  HBITMAP m_hPages[3] = {nullptr, nullptr, nullptr};
  HBITMAP m_hFooter = nullptr;
  cTrayIcon m_trayicon;
  RECT m_CloseButton{};
  RECT m_SignOutButton{};
  RECT m_Tabs[3]{};
  RECT m_DeleteArea{};
  RECT m_InstallLink{};
  cSkinButton m_SysLogSwitch;
  cSkinButton m_Banner;
  cSkinButton m_SysmonIndicator;
  cSkinButton m_WebLogIndicator;
  cSkinButton m_WebLogBox;
  cSkinButton m_UpdateButton;
  cSkinButton m_AutoUpdateBox;
  // S1 and S2 the agent's address, S3 the last upload time, S4 the service start time, S5 the
  // patch time and version.
  cStaticText m_Texts[5];
  cLoginDlg m_Login;
  int m_Page = 0;

 private:
  void OnInitDialog(HWND window);
  void LoadSkin();
  void OnPaint();
  void OnTimer(UINT_PTR id);
  void OnLButtonUp(int x, int y);
  void OnTrayIcon(LPARAM mouseMessage);
  void OnClose();
  void OnStatus(int status);
  void OnDestroy();
  void Send(std::initializer_list<uint8_t> message) const;
  void UpdateTrayIcon();
  void RecomputeUpdateButton();
  void ShowAddressTexts(bool show);
  std::string LoadText(UINT id, size_t bytes) const;

  std::mutex m_ServiceTextLock;
};

// Shows a time as local "%Y-%m-%d %H:%M:%S" in the window.
void SetTimeText(HWND window, int64_t time);
