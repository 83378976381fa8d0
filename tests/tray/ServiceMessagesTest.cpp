#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "Varlo/TrayMessages.h"
#include "Varlo/ui/UiWindows.h"
#include "common/Nvm.h"
#include "tests/tray/TrayFixture.h"

namespace {

enum { S1, S2, S3, S4, S5 };

cBytes TimeMessage(uint8_t code, int64_t time) {
  cBytes message{code};
  for (int index = 0; index < 8; index++) message.push_back(static_cast<uint8_t>(time >> (8 * index)));
  return message;
}

std::string LocalTime(int64_t time) {
  std::time_t seconds = time;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

class ServiceMessagesTest : public TrayWindowTest {
 protected:
  void SetUp() override {
    TrayWindowTest::SetUp();
    ASSERT_TRUE(CreateWindow());
    ASSERT_EQ(m_Service->Next(), cBytes({MSG_UI_USER, 1, 0}));  // registration
  }
  // Sends a message to the window and waits until the window thread has handled it.
  void Deliver(const cBytes& message) {
    ASSERT_TRUE(SendToTray(0, message));
    // A marker of an unknown code behind it: once it has run, everything before it has too.
    ASSERT_TRUE(SendToTray(0, {0x7F, 0}));
    bool seen = false;
    ASSERT_TRUE(PumpUntil([&] { return seen; }, kLongWaitMs,
                          [&](const MSG& message) {
                            seen = seen ||
                                   (message.message == WM_SERVICE_MSG && message.wParam == 0x7F);
                          }));
  }
};

TEST_F(ServiceMessagesTest, StatusTextAndIconFollowTheService) {
  EXPECT_EQ(TrayIcon(), 150);  // nothing reported yet
  Deliver(StatusMessage(2, "10.1.2.3"));
  EXPECT_EQ(m_Wnd->m_Status, 2);
  EXPECT_EQ(Text(S1), "10.1.2.3");
  EXPECT_EQ(Text(S2), "10.1.2.3");
  EXPECT_EQ(TrayIcon(), 130);
  // An empty text leaves the address; the window never opened, so no dialog runs.
  Deliver(StatusMessage(0, ""));
  EXPECT_EQ(m_Wnd->m_Status, 0);
  EXPECT_EQ(Text(S1), "10.1.2.3");
  EXPECT_EQ(m_Wnd->m_Login.m_hDlg, nullptr);
  EXPECT_EQ(TrayIcon(), 150);
}

TEST_F(ServiceMessagesTest, SystemLogSwitchSwapsTheSignedInIcons) {
  Deliver(StatusMessage(2, ""));
  Deliver({MSG_SVC_SYSLOG, 0});
  EXPECT_EQ(m_Wnd->m_SysLog, 0);
  EXPECT_EQ(m_Wnd->m_SysLogSwitch.State(), 0);
  EXPECT_EQ(m_Wnd->m_Banner.State(), 0);
  EXPECT_EQ(TrayIcon(), 149);
  Deliver({MSG_SVC_SYSLOG, 1});
  EXPECT_EQ(TrayIcon(), 130);
  Deliver({MSG_SVC_WEBLOG, 1});
  EXPECT_EQ(m_Wnd->m_WebLog, 1);
  EXPECT_EQ(m_Wnd->m_WebLogBox.State(), 1);
  EXPECT_EQ(m_Wnd->m_WebLogIndicator.State(), 1);
  Deliver({MSG_SVC_AUTOUPDATE, 0});
  EXPECT_EQ(m_Wnd->m_AutoUpdateBox.State(), 0);
}

TEST_F(ServiceMessagesTest, TimesAndVersionLine) {
  NvmVarloUi settings(1);
  settings.SetString(NvmVarloUi::PatchTime, "2026-01-02");
  settings.SetString(NvmVarloUi::AgentVersion, "5.8.0.8");
  settings.Close();
  Deliver(TimeMessage(MSG_SVC_START, 1700000000));
  EXPECT_EQ(Text(S4), LocalTime(1700000000));
  EXPECT_EQ(Text(S5), "2026-01-02 [V 5.8.0.8]");
  Deliver(TimeMessage(MSG_SVC_UPLOADTIME, 1700000600));
  EXPECT_EQ(Text(S3), LocalTime(1700000600));
}

TEST_F(ServiceMessagesTest, MessagesTooShortForTheirCodeAreIgnored) {
  Deliver(StatusMessage(2, "10.0.0.1"));
  const cBytes shortOnes[] = {{MSG_SVC_START}, {MSG_SVC_UPLOADTIME, 1, 2, 3}, {MSG_SVC_STATUS}, {MSG_SVC_SYSLOG}};
  for (const cBytes& message : shortOnes) Deliver(message);
  EXPECT_EQ(Text(S3), "");
  EXPECT_EQ(Text(S4), "");
  EXPECT_EQ(m_Wnd->m_Status, 2);
  EXPECT_EQ(m_Wnd->m_SysLog, 1);
  // A text without its NUL ends with the message.
  Deliver({MSG_SVC_STATUS, 2, '1', '.', '2'});
  EXPECT_EQ(Text(S1), "1.2");
}

TEST_F(ServiceMessagesTest, ExitOfOneOrTwoBytesEndsTheProgram) {
  for (const cBytes& exit : {cBytes{MSG_SVC_EXIT}, cBytes{MSG_SVC_EXIT, 0}}) {
    if (!Window()) {
      m_Wnd = std::make_unique<cVarloWnd>();
      ASSERT_TRUE(CreateWindow());
      m_Service->Next();
    }
    ASSERT_TRUE(SendToTray(0, exit));
    bool quit = false;
    PumpUntil([&] { return quit; }, kLongWaitMs,
              [&](const MSG& message) { quit = quit || message.message == WM_QUIT; });
    EXPECT_TRUE(quit);
    EXPECT_FALSE(IsWindow(Window()));
    m_Wnd->m_hWnd = nullptr;
  }
}

TEST_F(ServiceMessagesTest, SignInThroughTheLoginDialog) {
  NvmVarloUi settings(1);
  settings.SetString(NvmVarloUi::LicenseKey, "KEY-1");
  settings.Close();
  // The key is read at dialog start: start again with it stored.
  DestroyWindow(Window());
  PumpPending();
  m_Wnd = std::make_unique<cVarloWnd>();
  ASSERT_TRUE(CreateWindow());
  m_Service->Drain();
  m_Wnd->m_OpenRequested = 1;
  std::thread user([this] {
    // The user presses login twice; the service first refuses, then signs in.
    HWND dialog = WaitForLoginDialog();
    PostMessageA(dialog, WM_LBUTTONUP, 0, MAKELPARAM(200, 180));
    PostMessageA(dialog, WM_LBUTTONUP, 0, MAKELPARAM(200, 180));
    SendToTray(0, StatusMessage(1, ""));
    SendToTray(0, StatusMessage(2, "10.9.8.7"));
  });
  ASSERT_TRUE(SendToTray(0, StatusMessage(0, "")));
  EXPECT_TRUE(PumpUntil([this] { return m_Wnd->m_Status == 2 && IsWindowVisible(Window()); }));
  user.join();
  EXPECT_EQ(m_Wnd->m_Login.m_hDlg, nullptr);
  std::vector<cBytes> sent = m_Service->Drain();
  cBytes login{MSG_UI_LOGIN, 1, 'K', 'E', 'Y', '-', '1', 0};
  EXPECT_EQ(std::count(sent.begin(), sent.end(), login), 2);
  ASSERT_EQ(m_Boxes.size(), 1u);  // the refusal
  EXPECT_EQ(m_Boxes[0].caption, "Notice [Config]");
  EXPECT_EQ(m_Boxes[0].text, "Please enter the license key correctly.");
  EXPECT_EQ(TrayIcon(), 130);
}
