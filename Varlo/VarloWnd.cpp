#include "Varlo/VarloWnd.h"

#include <cstring>
#include <ctime>
#include <vector>

#include "Varlo/DragBand.h"
#include "Varlo/TrayLog.h"
#include "Varlo/TrayMessages.h"
#include "Varlo/TraySettings.h"
#include "Varlo/ui/UiGdi.h"
#include "Varlo/ui/UiResources.h"
#include "Varlo/ui/UiShell.h"
#include "Varlo/ui/UiWindows.h"
#include "common/ModuleVersion.h"
#include "common/Nvm.h"
#include "platform/TextConv.h"

namespace {

constexpr int kWidth = 500;
constexpr int kHeight = 400;
constexpr int kDragBand = 60;
constexpr UINT_PTR kTimerTrayIcon = 100;
constexpr UINT_PTR kTimerSysmon = 101;
constexpr UINT_PTR kTimerModuleUpdate = 102;
constexpr UINT kTrayIconRetryMs = 3000;
constexpr UINT kCheckPeriodMs = 10000;
constexpr RECT kPageArea{0, 86, 500, 342};
// The menu captions "open" and "close".
constexpr char kMenuOpen[] = "\xEC\x97\xB4\xEA\xB8\xB0";
constexpr char kMenuClose[] = "\xEB\x8B\xAB\xEA\xB8\xB0";

enum { S1, S2, S3, S4, S5 };

cVarloWnd* ObjectOf(HWND window) { return reinterpret_cast<cVarloWnd*>(GetWindowLongPtrA(window, GWLP_USERDATA)); }

int64_t ReadTime(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int index = 7; index >= 0; index--) value = (value << 8) | bytes[index];
  return static_cast<int64_t>(value);
}

void Blit(HDC target, HDC memory, HBITMAP bitmap, int x, int y, int width, int height) {
  if (!bitmap) return;
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(target, x, y, width, height, memory, 0, 0, SRCCOPY);
  SelectObject(memory, previous);
}

}  // namespace

void SetTimeText(HWND window, int64_t time) {
  std::time_t seconds = static_cast<std::time_t>(time);
  std::tm local{};
  char text[40] = {};
  if (localtime_r(&seconds, &local)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  SetWindowTextA(window, text);
}

cVarloWnd::~cVarloWnd() {
  m_Login.m_Key.clear();
  for (cSkinButton* sprite : {&m_SysLogSwitch, &m_Banner, &m_SysmonIndicator, &m_WebLogIndicator, &m_WebLogBox,
                              &m_UpdateButton, &m_AutoUpdateBox}) {
    sprite->Release();
  }
  m_trayicon.Delete();
  m_RepoClient.SetProxy({}, {});
  m_Link.Close();
  m_ServiceText.clear();
  m_InstallDir.clear();
}

std::string cVarloWnd::ServiceText() {
  std::lock_guard<std::mutex> lock(m_ServiceTextLock);
  return m_ServiceText;
}

std::string cVarloWnd::LoadText(UINT id, size_t bytes) const {
  std::vector<char> buffer(bytes);
  LoadStringA(m_hInstance, id, buffer.data(), static_cast<int>(buffer.size()));
  return buffer.data();
}

void cVarloWnd::Send(std::initializer_list<uint8_t> message) const {
  std::vector<uint8_t> bytes(message);
  m_Link.Send(bytes.data(), bytes.size());
}

void cVarloWnd::UpdateTrayIcon() { m_trayicon.Modify(m_hInstance, m_Status, m_SysLog); }

void cVarloWnd::RecomputeUpdateButton() { m_UpdateButton.SetState(m_hWnd, CheckModuleUpdate()); }

void cVarloWnd::OnServiceMsg(void* owner, const uint8_t* message, size_t length) {
  auto* object = static_cast<cVarloWnd*>(owner);
  if (length < 1) return;
  int code = message[0];
  int64_t value = 0;
  if (code == MSG_SVC_START || code == MSG_SVC_UPLOADTIME) {
    if (length < 9) return;  // too short to hold its time
    value = ReadTime(message + 1);
  } else if (code == MSG_SVC_EXIT) {
    // The start-up wake-up has one byte, the stop notice two.
    value = length >= 2 ? static_cast<int8_t>(message[1]) : 0;
  } else {
    if (length < 2) return;
    value = static_cast<int8_t>(message[1]);
    if (code == MSG_SVC_STATUS && length > 2 && message[2] != 0) {
      const char* text = reinterpret_cast<const char*>(message + 2);
      std::lock_guard<std::mutex> lock(object->m_ServiceTextLock);
      object->m_ServiceText.assign(text, strnlen(text, length - 2));
    }
  }
  if (HWND window = object->m_hWnd.load()) PostMessageA(window, WM_SERVICE_MSG, static_cast<WPARAM>(code), value);
}

int cVarloWnd::OnVarloService(int code, int64_t value) {
  switch (code) {
    case MSG_SVC_START: {
      SetTimeText(m_Texts[S4].Handle(), value);
      std::string patchTime;
      std::string version;
      NvmVarloUi settings(0);
      settings.GetString(NvmVarloUi::PatchTime, patchTime);
      settings.GetString(NvmVarloUi::AgentVersion, version);
      SetWindowTextA(m_Texts[S5].Handle(), (patchTime + " [V " + version + "]").c_str());
      break;
    }
    case MSG_SVC_STATUS:
      OnStatus(static_cast<int>(value));
      break;
    case MSG_SVC_SYSLOG:
      if (value == m_SysLog) break;
      m_SysLog = static_cast<int>(value);
      UpdateTrayIcon();
      m_SysLogSwitch.SetState(m_hWnd, m_SysLog);
      m_Banner.SetState(m_hWnd, m_SysLog);
      RecomputeUpdateButton();
      break;
    case MSG_SVC_WEBLOG:
      if (value == m_WebLog) break;
      m_WebLog = static_cast<int>(value);
      m_WebLogBox.SetState(m_hWnd, m_WebLog);
      m_WebLogIndicator.SetState(m_hWnd, m_WebLog);
      RecomputeUpdateButton();
      break;
    case MSG_SVC_UPLOADTIME:
      SetTimeText(m_Texts[S3].Handle(), value);
      break;
    case MSG_SVC_AUTOUPDATE:
      m_AutoUpdateBox.SetState(m_hWnd, static_cast<int>(value));
      break;
    case MSG_SVC_EXIT:
      TRAY_LOG(kLogVarloWnd, info, "!!! MSG_SVC_EXIT !!!");
      DestroyWindow(m_hWnd);
      break;
    default:
      break;
  }
  return 1;
}

void cVarloWnd::OnStatus(int status) {
  std::string text = ServiceText();
  if (!text.empty()) {
    SetWindowTextA(m_Texts[S1].Handle(), text.c_str());
    SetWindowTextA(m_Texts[S2].Handle(), text.c_str());
  }
  if (status == 2) LoadProxy();
  m_Status = status;
  UpdateTrayIcon();
  if (m_OpenRequested == 0) return;
  if (status == 0) {
    ShowLogin();
  } else if ((status == 1 || status == 2) && m_Login.m_hDlg) {
    PostMessageA(m_Login.m_hDlg, WM_LOGIN_RESULT, status == 1 ? kLoginShowError : kLoginSucceeded, 0);
  }
}

INT_PTR cVarloWnd::DlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
    reinterpret_cast<cVarloWnd*>(lParam)->OnInitDialog(window);
    return 1;
  }
  cVarloWnd* object = ObjectOf(window);
  if (!object) return 0;
  switch (message) {
    case WM_PAINT:
      object->OnPaint();
      return 1;
    case WM_SHOWWINDOW:
      if (wParam) {
        if (object->m_Page == 0) object->NotifyPage0(1);
        if (object->m_Page == 1) {
          object->RecomputeUpdateButton();
          SetTimer(window, kTimerModuleUpdate, kCheckPeriodMs, nullptr);
        }
      } else {
        object->NotifyPage0(0);
        KillTimer(window, kTimerModuleUpdate);
      }
      return 1;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDM_OPEN) {
        object->OnOpen();
        return 1;
      }
      if (LOWORD(wParam) == IDM_CLOSE) {
        object->OnClose();
        return 1;
      }
      return 0;
    case WM_CLOSE:
      object->OnClose();
      return 1;
    case WM_TIMER:
      object->OnTimer(wParam);
      return 1;
    case WM_CTLCOLORSTATIC:
      for (const cStaticText& text : object->m_Texts) {
        if (text.Colour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam))) {
          return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
        }
      }
      return 0;
    case WM_LBUTTONDOWN:
      DragInBand(window, lParam, kDragBand, {&object->m_SignOutButton, &object->m_CloseButton});
      return 1;
    case WM_LBUTTONUP:
      object->OnLButtonUp(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 1;
    case WM_TRAYICON:
      object->OnTrayIcon(lParam);
      return 1;
    case WM_LOGIN_KEY: {
      std::vector<uint8_t> login{MSG_UI_LOGIN, 1};
      login.insert(login.end(), object->m_Login.m_Key.begin(), object->m_Login.m_Key.end());
      login.push_back(0);
      object->m_Link.Send(login.data(), login.size());
      return 1;
    }
    case WM_SERVICE_MSG:
      return object->OnVarloService(static_cast<int>(wParam), static_cast<int64_t>(lParam));
    case WM_DESTROY:
      object->OnDestroy();
      return 1;
    default:
      return 0;
  }
}

void cVarloWnd::OnInitDialog(HWND window) {
  m_hWnd = window;
  if (m_Link.Open(this, &cVarloWnd::OnServiceMsg) != 0) {
    MessageBoxA(window, LoadText(IDS_NO_SERVICE, 100).c_str(), LoadText(IDS_TITLE, 100).c_str(), MB_OK | MB_ICONERROR);
    PostMessageA(window, WM_DESTROY, 0, 0);
    return;
  }
  // Titled before it registers: once the service knows this program, a second start must find it.
  SetWindowTextA(window, "VARLO");
  Send({MSG_UI_USER, kUserRegister, m_Link.SlotIndex()});
  MoveWindow(window, (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2, (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2,
             kWidth, kHeight, TRUE);
  uint32_t autoUpdate = 1;
  {
    NvmVarloUi settings(0);
    settings.GetString(NvmVarloUi::LicenseKey, m_Login.m_Key);
    settings.GetString(NvmVarloUi::InstallDir, m_InstallDir);
    settings.GetDword(NvmVarloUi::AutoUpdate, autoUpdate);
  }
  if (LookUpProxy() == ERROR_FILE_NOT_FOUND) TRAY_LOG(kLogVarloWnd, info, "LoadProxyConfig()={}", LoadProxyConfig());
  int added = m_trayicon.Add(window, m_hInstance, m_Status, m_SysLog);
  if (added != 0) {
    TRAY_LOG(kLogVarloWnd, err, "m_trayicon.Add={}", added);
    SetTimer(window, kTimerTrayIcon, kTrayIconRetryMs, nullptr);
  }
  LoadSkin();
  m_AutoUpdateBox.Set(RECT{51, 217, 65, 231}, static_cast<int>(autoUpdate),
                      LoadBitmapA(m_hInstance, MAKEINTRESOURCEA(IDB_AUTOUPDATE_BOX)), nullptr);
  m_Texts[S1].Create(51, 278, 109, window, m_hInstance, 0x4C4C4C, 0xFBF3EE);
  m_Texts[S2].Create(51, 308, 109, window, m_hInstance, 0x4C4C4C, 0xFBF3EE);
  m_Texts[S3].Create(296, 278, 132, window, m_hInstance, 0xAC7E57, 0xFFFFFF);
  m_Texts[S4].Create(296, 308, 132, window, m_hInstance, 0xAC7E57, 0xFFFFFF);
  m_Texts[S5].Create(120, 374, 240, window, m_hInstance, 0x4C4C4C, 0xF5F5F5);
}

void cVarloWnd::LoadSkin() {
  auto bitmap = [this](WORD id) { return LoadBitmapA(m_hInstance, MAKEINTRESOURCEA(id)); };
  m_hHeader = bitmap(IDB_HEADER);
  m_hPages[0] = bitmap(IDB_PAGE0);
  m_hPages[1] = bitmap(IDB_PAGE1);
  m_hPages[2] = bitmap(IDB_PAGE2);
  m_hFooter = bitmap(IDB_FOOTER);
  m_CloseButton = RECT{461, 20, 480, 39};
  m_SignOutButton = RECT{347, 21, 402, 39};
  m_Tabs[0] = RECT{21, 87, 174, 125};
  m_Tabs[1] = RECT{175, 87, 327, 125};
  m_Tabs[2] = RECT{328, 87, 479, 125};
  m_DeleteArea = RECT{51, 278, 139, 302};
  m_InstallLink = RECT{391, 149, 449, 173};
  m_SysLogSwitch.Set(RECT{122, 97, 154, 115}, m_SysLog, bitmap(IDB_SYSLOG_SWITCH), nullptr);
  m_Banner.Set(RECT{126, 151, 382, 190}, m_SysLog, bitmap(IDB_BANNER), nullptr);
  m_SysmonIndicator.Set(RECT{95, 233, 180, 245}, 0, nullptr, bitmap(IDB_SYSMON));
  m_WebLogIndicator.Set(RECT{268, 234, 353, 246}, m_WebLog, nullptr, bitmap(IDB_WEBLOG_INDICATOR));
  m_WebLogBox.Set(RECT{51, 147, 65, 161}, m_WebLog, nullptr, bitmap(IDB_WEBLOG_BOX));
  m_UpdateButton.Set(RECT{51, 231, 139, 255}, 0, nullptr, bitmap(IDB_UPDATE_BUTTON));
}

void cVarloWnd::OnPaint() {
  PAINTSTRUCT paint;
  HDC target = BeginPaint(m_hWnd, &paint);
  HDC memory = CreateCompatibleDC(target);
  Blit(target, memory, m_hHeader, 0, 0, 500, 86);
  Blit(target, memory, m_hPages[m_Page], 0, 86, 500, 256);
  Blit(target, memory, m_hFooter, 0, 342, 500, 58);
  m_SysLogSwitch.Draw(target, memory);
  if (m_Page == 0) {
    m_Banner.Draw(target, memory);
    m_SysmonIndicator.Draw(target, memory);
    m_WebLogIndicator.Draw(target, memory);
  } else if (m_Page == 1) {
    m_WebLogBox.Draw(target, memory);
    m_UpdateButton.Draw(target, memory);
  } else {
    m_AutoUpdateBox.Draw(target, memory);
  }
  DeleteDC(memory);
  EndPaint(m_hWnd, &paint);
}

void cVarloWnd::OnTimer(UINT_PTR id) {
  if (id == kTimerTrayIcon) {
    int added = m_trayicon.Add(m_hWnd, m_hInstance, m_Status, m_SysLog);
    if (added == 0) {
      KillTimer(m_hWnd, kTimerTrayIcon);
    } else {
      TRAY_LOG(kLogVarloWnd, err, "m_trayicon.Add={}", added);
    }
  } else if (id == kTimerSysmon) {
    m_SysmonIndicator.SetState(m_hWnd, IsSysmonInstalled());
  } else if (id == kTimerModuleUpdate) {
    RecomputeUpdateButton();
  }
}

void cVarloWnd::OnClose() {
  if (m_Login.m_hDlg) {
    PostMessageA(m_Login.m_hDlg, WM_LOGIN_RESULT, kLoginCancelled, 0);
  } else {
    ShowWindow(m_hWnd, SW_HIDE);
  }
  m_OpenRequested = 0;
}

void cVarloWnd::OnTrayIcon(LPARAM mouseMessage) {
  if (mouseMessage == WM_LBUTTONDBLCLK) {
    OnOpen();
  } else if (mouseMessage == WM_RBUTTONDOWN) {
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, IDM_OPEN, kMenuOpen);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_CLOSE, kMenuClose);
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(m_hWnd);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_hWnd, nullptr);
    DestroyMenu(menu);
  }
}

void cVarloWnd::OnDestroy() {
  PostQuitMessage(0);
  for (HBITMAP* bitmap : {&m_hHeader, &m_hPages[0], &m_hPages[1], &m_hPages[2], &m_hFooter}) {
    if (*bitmap) DeleteObject(*bitmap);
    *bitmap = nullptr;
  }
  m_Link.Close();
}

void cVarloWnd::OnLButtonUp(int x, int y) {
  if (PtInRect(&m_SignOutButton, POINT{x, y})) {
    if (MessageBoxA(m_hWnd, LoadText(IDS_SIGN_OUT, 100).c_str(), LoadText(IDS_SIGN_OUT_CAPTION, 100).c_str(),
                    MB_OKCANCEL) == IDOK) {
      Send({MSG_UI_LOGIN, 0});
      ShowWindow(m_hWnd, SW_HIDE);
      ShowLogin();
    }
  } else if (PtInRect(&m_CloseButton, POINT{x, y})) {
    ShowWindow(m_hWnd, SW_HIDE);
    m_OpenRequested = 0;
  } else if (m_SysLogSwitch.Contains(x, y)) {
    m_SysLog = !m_SysLog;
    UpdateTrayIcon();
    Send({MSG_UI_SYSLOG, static_cast<uint8_t>(m_SysLog)});
    m_SysLogSwitch.SetState(m_hWnd, m_SysLog);
    m_Banner.SetState(m_hWnd, m_SysLog);
    if (m_Page == 1) RecomputeUpdateButton();
  } else if (m_Page == 0) {
    if (PtInRect(&m_Tabs[1], POINT{x, y})) {
      SetPage(1);
    } else if (PtInRect(&m_Tabs[2], POINT{x, y})) {
      SetPage(2);
    }
  } else if (m_Page == 1) {
    if (PtInRect(&m_Tabs[0], POINT{x, y})) {
      SetPage(0);
    } else if (PtInRect(&m_Tabs[2], POINT{x, y})) {
      SetPage(2);
    } else if (m_WebLogBox.Contains(x, y)) {
      m_WebLog = !m_WebLog;
      Send({MSG_UI_WEBLOG, static_cast<uint8_t>(m_WebLog)});
      m_WebLogBox.SetState(m_hWnd, m_WebLog);
      m_WebLogIndicator.SetState(m_hWnd, m_WebLog);
      RecomputeUpdateButton();
    } else if (m_UpdateButton.Contains(x, y) && m_UpdateButton.State() == 1) {
      if (m_SysLog && m_WebLog) Send({MSG_UI_MODULE, 1});
    } else if (PtInRect(&m_DeleteArea, POINT{x, y})) {
      Send({MSG_UI_MODULE, 0});
      m_WebLog = 0;
      m_WebLogBox.SetState(m_hWnd, 0);
      m_WebLogIndicator.SetState(m_hWnd, 0);
      m_UpdateButton.SetState(m_hWnd, 0);
      MessageBoxA(m_hWnd, LoadText(IDS_MODULE_REMOVED, 100).c_str(), LoadText(IDS_MODULE_REMOVED_CAPTION, 100).c_str(),
                  MB_OK);
    }
  } else if (m_Page == 2) {
    if (PtInRect(&m_Tabs[0], POINT{x, y})) {
      SetPage(0);
    } else if (PtInRect(&m_Tabs[1], POINT{x, y})) {
      SetPage(1);
    } else if (PtInRect(&m_InstallLink, POINT{x, y})) {
      ShellExecuteA(m_hWnd, "open", m_InstallDir.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    } else if (m_AutoUpdateBox.Contains(x, y)) {
      int value = !m_AutoUpdateBox.State();
      m_AutoUpdateBox.SetState(m_hWnd, value);
      Send({MSG_UI_AUTOUPDATE, static_cast<uint8_t>(value)});
    }
  }
}

void cVarloWnd::ShowAddressTexts(bool show) {
  for (int text = S1; text <= S4; text++) ShowWindow(m_Texts[text].Handle(), show ? SW_SHOW : SW_HIDE);
}

void cVarloWnd::SetPage(int page) {
  if (m_Page == 0) {
    ShowAddressTexts(false);
    NotifyPage0(0);
  }
  if (m_Page == 1) KillTimer(m_hWnd, kTimerModuleUpdate);
  m_Page = page;
  if (page == 0) {
    ShowAddressTexts(true);
    NotifyPage0(1);
  }
  if (page == 1) {
    RecomputeUpdateButton();
    SetTimer(m_hWnd, kTimerModuleUpdate, kCheckPeriodMs, nullptr);
  }
  InvalidateRect(m_hWnd, &kPageArea, FALSE);
}

void cVarloWnd::NotifyPage0(int shown) {
  Send({MSG_UI_PAGE, static_cast<uint8_t>(shown ? 1 : 0), m_Link.SlotIndex()});
  if (shown) {
    m_SysmonIndicator.SetState(m_hWnd, IsSysmonInstalled());
    SetTimer(m_hWnd, kTimerSysmon, kCheckPeriodMs, nullptr);
  } else {
    KillTimer(m_hWnd, kTimerSysmon);
  }
}

void cVarloWnd::OnOpen() {
  if (m_Status == -1) {
    MessageBoxA(m_hWnd, LoadText(IDS_NO_SERVICE, 100).c_str(), LoadText(IDS_TITLE, 100).c_str(), MB_OK | MB_ICONERROR);
  } else if (m_Status == 0 || m_Status == 1) {
    m_OpenRequested = 1;
    ShowLogin();
  } else if (m_Status == 2) {
    m_OpenRequested = 1;
    ShowMain();
  }
}

int cVarloWnd::ShowLogin() {
  m_Status = 0;
  UpdateTrayIcon();
  if (m_Login.m_hDlg) return 0;
  m_Login.m_hOwner = m_hWnd;
  m_Login.m_hInstance = m_hInstance;
  INT_PTR result = DialogBoxParamA(m_hInstance, MAKEINTRESOURCEA(IDD_LOGIN), m_hWnd, &cLoginDlg::DlgProc,
                                   reinterpret_cast<LPARAM>(&m_Login));
  if (result != cLoginDlg::kSignedIn) return 0;
  m_Status = 2;
  UpdateTrayIcon();
  LoadProxy();
  ShowMain();
  return 1;
}

void cVarloWnd::ShowMain() {
  SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetWindowPos(m_hWnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ShowWindow(m_hWnd, SW_SHOW);
}

int cVarloWnd::CheckModuleUpdate() {
  if (m_Status != 2 || m_SysLog == 0 || m_WebLog == 0) return 0;
  std::string installed;
  std::string refusal;
  if (!ReadModuleVersion(installed, refusal)) {
    if (!refusal.empty()) TRAY_LOG(kLogVarloWnd, err, "{}", refusal);
    return 0;
  }
  std::string published;
  if (m_RepoClient.FetchVersion(published) < 0 || published.empty()) return 0;
  return IsOtherVersion(published, installed) ? 1 : 0;
}

int cVarloWnd::LoadProxy() {
  NvmVarloUi settings(0);
  std::string proxy;
  std::string bypass;
  const bool unreadable = settings.GetString(NvmVarloUi::Proxy, proxy) == -2;
  int result = settings.GetString(NvmVarloUi::ProxyBypass, bypass);
  m_RepoClient.SetProxy(WidenBytes(proxy), WidenBytes(bypass), unreadable);
  return result;
}
