#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Varlo/TrayMessages.h"
#include "Varlo/ui/UiWindows.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "tests/tray/TrayFixture.h"

namespace {

enum { S1, S2, S3, S4, S5 };

// Points inside the click areas of the skin.
constexpr POINT kSysLogSwitch{130, 105};
constexpr POINT kTab[3] = {{100, 110}, {250, 110}, {400, 110}};
constexpr POINT kSignOut{370, 30};
constexpr POINT kWebLogBox{57, 153};
constexpr POINT kUpdateButton{90, 240};
constexpr POINT kDeleteArea{90, 290};
constexpr POINT kInstallLink{420, 160};
constexpr POINT kAutoUpdateBox{57, 223};

// Runs on another thread: waits for the login dialog and posts a message to it.
std::thread PostToLoginDialog(UINT message, WPARAM wParam, LPARAM lParam) {
  return std::thread([=] { PostMessageA(WaitForLoginDialog(), message, wParam, lParam); });
}

uint32_t Pixel(HWND window, POINT point) {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  if (!ui::WindowImage(window, width, height, pixels) || point.x >= width || point.y >= height) return 0xDEADBEEF;
  return pixels[static_cast<size_t>(point.y) * width + point.x];
}

}  // namespace

class MainWindowTest : public TrayWindowTest {
 protected:
  void SetUp() override {
    TrayWindowTest::SetUp();
    ASSERT_TRUE(CreateWindow());
    ASSERT_EQ(m_Service->Next(), cBytes({MSG_UI_USER, 1, 0}));
  }
  void ClickAt(POINT point) { Click(point.x, point.y); }
  // Signs in as the service would and opens the window from the tray.
  void SignInAndOpen() {
    m_Wnd->OnVarloService(MSG_SVC_STATUS, 2);
    m_Wnd->OnOpen();
    PumpPending();
    ASSERT_TRUE(IsWindowVisible(Window()));
    ASSERT_EQ(m_Service->Next(), cBytes({MSG_UI_PAGE, 1, 0}));
  }
};

TEST_F(MainWindowTest, DialogStartReadsTheSettingsAndStaysHidden) {
  RECT rect;
  GetWindowRect(Window(), &rect);
  EXPECT_EQ(rect.right - rect.left, 500);
  EXPECT_EQ(rect.bottom - rect.top, 400);
  EXPECT_FALSE(IsWindowVisible(Window()));
  EXPECT_EQ(FindWindowA("VarloWnd", "VARLO"), Window());
  EXPECT_EQ(TrayIcon(), 150);
  EXPECT_EQ(m_Wnd->m_AutoUpdateBox.State(), 1);  // missing means on, and nothing is written
  NvmVarloUi settings(0);
  uint32_t autoUpdate = 7;
  EXPECT_EQ(settings.GetDword(NvmVarloUi::AutoUpdate, autoUpdate), -1);
  std::string proxy = "unset";
  EXPECT_EQ(settings.GetString(NvmVarloUi::Proxy, proxy), 0);  // imported at the first start
  EXPECT_EQ(proxy, "");
}

// A Proxy too long to read is the administrator's all the same: a later dialog start imports the
// user's proxy only over a Proxy that is missing, never over one it cannot read.
TEST_F(MainWindowTest, DialogStartLeavesAProxyItCannotReadAsItIs) {
  DestroyWindow(Window());
  PumpPending();
  const std::string administrators(cNvm::kStringBufferBytes + 100, 'p');
  StoreAgentProxy(administrators);
  SetUserProxy(1, "user.proxy:8080", "<local>");

  m_Wnd = std::make_unique<cVarloWnd>();
  ASSERT_TRUE(CreateWindow());
  std::string stored(cNvm::kStringBufferBytes * 2, '\0');
  DWORD size = static_cast<DWORD>(stored.size());
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Proxy", nullptr, nullptr, reinterpret_cast<BYTE*>(stored.data()), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(stored.substr(0, size), administrators + '\0');
}

TEST_F(MainWindowTest, TrayIconIsAddedOnceTheNotificationAreaExists) {
  DestroyWindow(Window());
  PumpPending();
  ui::SetNotificationAreaPresent(false);
  m_Wnd = std::make_unique<cVarloWnd>();
  ASSERT_TRUE(CreateWindow());
  EXPECT_EQ(TrayIcon(), 0);
  ui::SetNotificationAreaPresent(true);
  EXPECT_TRUE(PumpUntil([this] { return TrayIcon() == 150; }, 6000));
}

TEST_F(MainWindowTest, SystemLogSwitchWorksOnEveryPage) {
  SignInAndOpen();
  size_t objects = 0;
  for (int page : {0, 1, 2}) {
    if (page) ClickAt(kTab[page]);
    m_Service->Drain(30);
    ClickAt(kSysLogSwitch);
    EXPECT_EQ(m_Wnd->m_SysLog, 0);
    EXPECT_EQ(TrayIcon(), 149);
    EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_SYSLOG, 0}));
    ClickAt(kSysLogSwitch);
    EXPECT_EQ(TrayIcon(), 130);
    EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_SYSLOG, 1}));
    EXPECT_EQ(m_Wnd->m_Banner.State(), 1);
    if (page == 0) objects = ui::GdiObjectCount();  // each icon has been shown once
  }
  EXPECT_EQ(ui::GdiObjectCount(), objects);  // the icon changes loaded nothing new
}

TEST_F(MainWindowTest, TabsChangePagesAndReportPageZero) {
  SignInAndOpen();
  ClickAt(kTab[2]);
  EXPECT_EQ(m_Wnd->m_Page, 2);
  EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_PAGE, 0, 0}));
  EXPECT_FALSE(IsWindowVisible(m_Wnd->m_Texts[S1].Handle()));
  EXPECT_TRUE(IsWindowVisible(m_Wnd->m_Texts[S5].Handle()));
  ClickAt(kTab[2]);  // the current page's tab does nothing
  ClickAt(kTab[1]);
  EXPECT_EQ(m_Wnd->m_Page, 1);
  ClickAt(kTab[2]);
  EXPECT_EQ(m_Wnd->m_Page, 2);
  ClickAt(kTab[0]);
  EXPECT_EQ(m_Wnd->m_Page, 0);
  EXPECT_EQ(m_Service->Drain(), std::vector<cBytes>({{MSG_UI_PAGE, 1, 0}}));
  EXPECT_TRUE(IsWindowVisible(m_Wnd->m_Texts[S1].Handle()));
  // Hiding reports page 0 left even from another page.
  ClickAt(kTab[1]);
  m_Service->Drain(30);
  PostMessageA(Window(), WM_COMMAND, IDM_CLOSE, 0);
  PumpPending();
  EXPECT_FALSE(IsWindowVisible(Window()));
  EXPECT_EQ(m_Wnd->m_OpenRequested, 0);
  EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_PAGE, 0, 0}));
}

TEST_F(MainWindowTest, WebLogPage) {
  SignInAndOpen();
  ClickAt(kTab[1]);
  m_Service->Drain(30);
  ClickAt(kWebLogBox);
  EXPECT_EQ(m_Wnd->m_WebLog, 1);
  EXPECT_EQ(m_Wnd->m_WebLogIndicator.State(), 1);
  EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_WEBLOG, 1}));
  // The update button acts only while it shows an update and both switches are on.
  ClickAt(kUpdateButton);
  m_Wnd->m_UpdateButton.SetState(Window(), 1);
  m_Wnd->m_SysLog = 0;
  ClickAt(kUpdateButton);
  EXPECT_TRUE(m_Service->Drain(30).empty());
  m_Wnd->m_SysLog = 1;
  ClickAt(kUpdateButton);
  EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_MODULE, 1}));
  // The delete area asks nothing and switches web-log collection off at once.
  ClickAt(kDeleteArea);
  EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_MODULE, 0}));
  EXPECT_EQ(m_Wnd->m_WebLog, 0);
  EXPECT_EQ(m_Wnd->m_WebLogBox.State(), 0);
  EXPECT_EQ(m_Wnd->m_UpdateButton.State(), 0);
  ASSERT_EQ(m_Boxes.size(), 1u);
  EXPECT_EQ(m_Boxes[0].text, "ModVarlo was deleted.");
}

TEST_F(MainWindowTest, SettingsPage) {
  SignInAndOpen();
  ClickAt(kTab[2]);
  m_Service->Drain(30);
  ClickAt(kAutoUpdateBox);
  EXPECT_EQ(m_Service->Next(), cBytes({MSG_UI_AUTOUPDATE, 0}));
  ClickAt(kInstallLink);
  std::string log;
  ASSERT_TRUE(platform::ReadWholeFile(platform::StateFolder() + "/shell-execute.log", log));
  EXPECT_EQ(log, "open C:\\Program Files\\VARLO\n");
}

TEST_F(MainWindowTest, OpenBeforeAnyStatusTellsTheServiceIsMissing) {
  m_Wnd->OnOpen();
  ASSERT_EQ(m_Boxes.size(), 1u);
  EXPECT_EQ(m_Boxes[0].text, "Service is not registered.");
  EXPECT_EQ(m_Boxes[0].caption, "VARLO");
  EXPECT_FALSE(IsWindowVisible(Window()));
}

TEST_F(MainWindowTest, SignOutAsksAndThenRunsTheLoginDialog) {
  SignInAndOpen();
  m_BoxAnswer = IDCANCEL;
  ClickAt(kSignOut);
  EXPECT_TRUE(IsWindowVisible(Window()));
  m_BoxAnswer = IDOK;
  std::thread user = PostToLoginDialog(WM_CLOSE, 0, 0);
  ClickAt(kSignOut);
  user.join();
  EXPECT_EQ(m_Boxes.back().text, "Would you like to sign out?");
  EXPECT_EQ(m_Boxes.back().caption, "Notice [VARLO]");
  EXPECT_FALSE(IsWindowVisible(Window()));
  EXPECT_EQ(m_Wnd->m_Status, 0);
  EXPECT_EQ(TrayIcon(), 150);
  std::vector<cBytes> sent = m_Service->Drain();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0], cBytes({MSG_UI_LOGIN, 0}));
}

TEST_F(MainWindowTest, ClosingTheWindowClosesAnOpenLoginDialog) {
  m_Wnd->OnVarloService(MSG_SVC_STATUS, 1);
  std::thread user([this] {
    WaitForLoginDialog();
    PostMessageA(Window(), WM_COMMAND, IDM_CLOSE, 0);
  });
  m_Wnd->OnOpen();  // runs the dialog until the close ends it
  user.join();
  EXPECT_EQ(m_Wnd->m_Login.m_hDlg, nullptr);
  EXPECT_EQ(m_Wnd->m_OpenRequested, 0);
  EXPECT_FALSE(IsWindowVisible(Window()));
}

TEST_F(MainWindowTest, TrayMenuAndDoubleClickOpenTheWindow) {
  m_Wnd->OnVarloService(MSG_SVC_STATUS, 2);
  std::vector<std::pair<UINT_PTR, std::string>> items;
  ui::SetPopupMenuHandler([&items](const std::vector<std::pair<UINT_PTR, std::string>>& shown) {
    items = shown;
    return static_cast<UINT_PTR>(IDM_OPEN);
  });
  PostMessageA(Window(), WM_TRAYICON, 0, WM_RBUTTONDOWN);
  PumpPending();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0], std::make_pair(UINT_PTR{IDM_OPEN}, std::string("열기")));
  EXPECT_EQ(items[1].second, "");
  EXPECT_EQ(items[2], std::make_pair(UINT_PTR{IDM_CLOSE}, std::string("닫기")));
  EXPECT_TRUE(IsWindowVisible(Window()));
  ShowWindow(Window(), SW_HIDE);
  PostMessageA(Window(), WM_TRAYICON, 0, WM_LBUTTONDBLCLK);
  PumpPending();
  EXPECT_TRUE(IsWindowVisible(Window()));
}

TEST_F(MainWindowTest, SkinShowsTheSwitchState) {
  SignInAndOpen();
  PumpPending();
  uint32_t on = Pixel(Window(), kSysLogSwitch);
  uint32_t header = Pixel(Window(), POINT{10, 10});
  ClickAt(kSysLogSwitch);
  PumpPending();
  uint32_t off = Pixel(Window(), kSysLogSwitch);
  EXPECT_NE(on, off);
  EXPECT_EQ(header, Pixel(Window(), POINT{10, 10}));
  EXPECT_NE(header, 0xFFFFFFu);  // the header bitmap was drawn
}
