// Both programs installed in a machine root: the service starts the tray program in each user
// session, and a user signs in through it on the display.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "Varlo/ui/UiTestHooks.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "tests/support/WaitUntil.h"
#include "tests/tray/TrayFixture.h"
#include "tests/tray/Xvfb.h"

namespace {

constexpr int kLoginLeft = cXvfb::kLoginLeft;
constexpr int kLoginTop = cXvfb::kLoginTop;
constexpr int kIconLeft = cXvfb::kIconLeft;
constexpr int kIconTop = cXvfb::kIconTop;
constexpr uint32_t kHeaderBlue = cXvfb::kHeaderBlue;
constexpr uint32_t kSignedOutGrey = cXvfb::kSignedOutGrey;

int RunCommand(const std::string& commandLine) {
  int status = std::system((commandLine + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

HWND TrayWindow(DWORD session) { return ui::FindWindowInSession(session, "VarloWnd", "VARLO"); }

// The stand-in service manager's tool in the machine root.
std::string Sc(const std::string& arguments) {
  return "'" + platform::MapPath("C:\\Windows\\System32\\sc.exe") + "' " + arguments;
}

}  // namespace

class AgentEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_Display.Running()) GTEST_SKIP() << "Xvfb is not available (scripts/setup installs it)";
    const char* path = std::getenv("PATH");
    m_PreviousPath = path ? path : "";
    setenv("PATH", (platform::MapPath("C:\\Windows\\System32") + ":" + m_PreviousPath).c_str(), 1);
    ASSERT_EQ(RunCommand("'" VARLO_BIN_DIR "/varlo-install' '" VARLO_BIN_DIR "'"), 0);
    platform::CreateFolders(platform::StateFolder());
    const char* user = getpwuid(getuid())->pw_name;
    std::ofstream(platform::StateFolder() + "/sessions.txt")
        << "1 active " << user << "\n2 active " << user << "\n";
    // A management server that refuses at once, so the sign-in fails quickly.
    HKEY domain = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BreltSecurity\\VARLO\\Domain", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &domain, nullptr);
    const char refused[] = "https://127.0.0.1:9/";
    RegSetValueExA(domain, "Apis", 0, REG_SZ, reinterpret_cast<const BYTE*>(refused), sizeof refused);
    RegCloseKey(domain);
  }
  void TearDown() override {
    RunCommand(Sc("stop VARLO"));
    WaitUntil(kLongWaitMs, [] { return TrayWindow(1) == nullptr && TrayWindow(2) == nullptr; });
    if (!m_PreviousPath.empty()) setenv("PATH", m_PreviousPath.c_str(), 1);
  }
  void Click(int x, int y) { ASSERT_TRUE(m_Display.Click(x, y)); }
  // What both programs logged, for a failure to show.
  static std::string Logs() {
    std::string service;
    std::string tray;
    platform::ReadWholeFile("C:\\Program Files\\VARLO\\logs\\event.log", service);
    platform::ReadWholeFile("C:\\Program Files\\VARLO\\logs\\event-ui.log", tray);
    return "service:\n" + service + "tray:\n" + tray;
  }

  cTempMachineRoot m_Root;
  cXvfb m_Display;
  std::string m_PreviousPath;
};

TEST_F(AgentEndToEndTest, TheServiceStartsTheTrayAndASignInFailureIsShown) {
  ASSERT_EQ(RunCommand(Sc("start VARLO")), 0);
  // The tray program runs in the session and shows the signed-out icon.
  ASSERT_TRUE(WaitUntil(kLongWaitMs, [this] {
    return m_Display.Pixel(kIconLeft + 8, kIconTop + 8) == kSignedOutGrey;
  })) << Logs();
  // Each of the two sessions has a tray of its own.
  ASSERT_TRUE(WaitUntil(kLongWaitMs, [] { return TrayWindow(1) && TrayWindow(2); }));
  EXPECT_NE(TrayWindow(1), TrayWindow(2));
  // The user of session 1, the test's own, opens it. Until the service's status has reached the
  // tray, the tray tells that the service cannot be reached; the user confirms and opens it again.
  cXvfb::cWindow login;
  for (int attempt = 0; attempt < 10 && !login.id; attempt++) {
    cTrayProgram user("");
    ASSERT_EQ(user.ExitCode(kLongWaitMs), 0);
    cXvfb::cWindow notReached;
    ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] {
      login = m_Display.Shown("#32770", "VARLO Login");
      notReached = m_Display.Shown("#32770", "VARLO");
      return login.id || notReached.id;
    })) << Logs();
    if (!notReached.id) continue;
    ASSERT_TRUE(m_Display.Key(notReached, "Return"));
    ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] { return !m_Display.Shown("#32770", "VARLO").id; }));
  }
  ASSERT_TRUE(login.id) << Logs();
  // Typed keys reach the edit field once the dialog is drawn.
  ASSERT_TRUE(WaitUntil(kLongWaitMs, [this] {
    return m_Display.Pixel(kLoginLeft + 10, kLoginTop + 10) == kHeaderBlue;
  }));
  Click(kLoginLeft + 150, kLoginTop + 140);
  ASSERT_TRUE(m_Display.Xdotool("type --delay 20 KEY-0042"));
  Click(kLoginLeft + 200, kLoginTop + 180);
  // The service stores the key, fails to sign in, and the dialog says so.
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [] {
    NvmVarloUi settings(0);
    std::string key;
    return settings.GetString(NvmVarloUi::LicenseKey, key) == 0 && key == "KEY-0042";
  }));
  EXPECT_TRUE(m_Display.WaitForWindow("#32770", "Notice [Config]"));
  // Stopping the service ends the tray programs, box and dialog included.
  ASSERT_EQ(RunCommand(Sc("stop VARLO")), 0);
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [] { return !TrayWindow(1) && !TrayWindow(2); })) << Logs();
  std::string log;
  platform::ReadWholeFile("C:\\Program Files\\VARLO\\logs\\event-ui.log", log);
  EXPECT_NE(log.find("!!! MSG_SVC_EXIT !!!"), std::string::npos);
}
