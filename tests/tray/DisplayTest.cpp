// The tray program on an X display of its own: what the user sees and clicks.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Varlo/TrayMessages.h"
#include "tests/support/WaitUntil.h"
#include "tests/tray/TrayFixture.h"
#include "tests/tray/Xvfb.h"

namespace {

constexpr int kMainLeft = cXvfb::kMainLeft;
constexpr int kMainTop = cXvfb::kMainTop;
constexpr int kLoginLeft = cXvfb::kLoginLeft;
constexpr int kLoginTop = cXvfb::kLoginTop;
constexpr int kIconLeft = cXvfb::kIconLeft;
constexpr int kIconTop = cXvfb::kIconTop;
constexpr int kWaitMs = cXvfb::kWaitMs;
constexpr uint32_t kHeaderBlue = cXvfb::kHeaderBlue;

// Pixels of the rectangle darker than the light backgrounds: drawn text.
int DarkPixels(const std::vector<uint32_t>& pixels) {
  int dark = 0;
  for (uint32_t pixel : pixels) dark += ((pixel >> 16) & 0xFF) < 0x90 && ((pixel >> 8) & 0xFF) < 0x90;
  return dark;
}

std::string At(int x, int y) { return cXvfb::At(x, y); }

}  // namespace

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_Display.Running()) GTEST_SKIP() << "Xvfb is not available (scripts/setup installs it)";
  }
  void Click(int x, int y) { ASSERT_TRUE(m_Display.Click(x, y)); }
  bool WaitForPixel(int x, int y, uint32_t colour) {
    return WaitUntil(kWaitMs, [&] { return m_Display.Pixel(x, y) == colour; });
  }
  bool WaitForPixelOtherThan(int x, int y, uint32_t colour) {
    return WaitUntil(kWaitMs, [&] { return m_Display.Pixel(x, y) != colour; });
  }
  // Starts the tray program as the service does and waits for its registration.
  void StartTray() {
    m_Tray = std::make_unique<cTrayProgram>("admin");
    ASSERT_EQ(m_Service.Next(kWaitMs), cBytes({MSG_UI_USER, 1, 0}));
  }
  // Reports the status as the service does and waits until the tray has handled it, as its icon
  // shows. Any other status than signed-in is reported after a signed-in one, so that the icon
  // turning back tells that this status was handled.
  void ReportStatus(int status, const std::string& text) {
    if (status != 2) ReportStatus(2, text);
    ASSERT_TRUE(SendToTray(0, StatusMessage(status, text)));
    ASSERT_TRUE(WaitForPixel(kIconLeft + 8, kIconTop + 8, status == 2 ? cXvfb::kSignedInGreen : cXvfb::kSignedOutGrey));
  }
  // The user starts the program again, which opens the running one.
  void OpenAsTheUser() {
    cTrayProgram user("");
    EXPECT_EQ(user.ExitCode(kWaitMs), 0);
  }
  void EndTray() {
    ASSERT_TRUE(SendToTray(0, {MSG_SVC_EXIT, 0}));
    EXPECT_EQ(m_Tray->ExitCode(kWaitMs), 0);
  }

  cTempMachineRoot m_Root;
  cXvfb m_Display;
  cFakeServiceSlot m_Service;
  std::unique_ptr<cTrayProgram> m_Tray;
};

TEST_F(DisplayTest, TrayIconOpensTheSkinnedWindow) {
  StartTray();
  ReportStatus(2, "10.1.2.3");
  ASSERT_TRUE(m_Display.Xdotool("mousemove " + At(kIconLeft + 16, kIconTop + 16) + " click --repeat 2 --delay 60 1"));
  EXPECT_EQ(m_Service.Next(kWaitMs), cBytes({MSG_UI_PAGE, 1, 0}));
  ASSERT_TRUE(m_Display.WaitForWindow("VarloWnd", "VARLO"));
  EXPECT_TRUE(WaitForPixel(kMainLeft + 10, kMainTop + 10, kHeaderBlue));
  // The agent's address is drawn in S1.
  EXPECT_TRUE(WaitUntil(kWaitMs, [this] {
    return DarkPixels(m_Display.Screenshot(kMainLeft + 51, kMainTop + 278, 109, 20)) > 10;
  }));
  uint32_t switchOn = m_Display.Pixel(kMainLeft + 125, kMainTop + 100);
  Click(kMainLeft + 130, kMainTop + 105);
  EXPECT_EQ(m_Service.Next(kWaitMs), cBytes({MSG_UI_SYSLOG, 0}));
  EXPECT_TRUE(WaitForPixelOtherThan(kMainLeft + 125, kMainTop + 100, switchOn));
  // The tab of page 2, then the close button.
  Click(kMainLeft + 400, kMainTop + 110);
  EXPECT_EQ(m_Service.Next(kWaitMs), cBytes({MSG_UI_PAGE, 0, 0}));
  Click(kMainLeft + 470, kMainTop + 30);
  EXPECT_TRUE(WaitUntil(kWaitMs, [this] { return !m_Display.Shown("VarloWnd").id; }));
  EndTray();
}

TEST_F(DisplayTest, LoginDialogSendsTheTypedKey) {
  StartTray();
  ReportStatus(1, "");
  OpenAsTheUser();
  ASSERT_TRUE(m_Display.WaitForWindow("#32770", "VARLO Login"));
  ASSERT_TRUE(WaitForPixel(kLoginLeft + 10, kLoginTop + 10, kHeaderBlue));
  Click(kLoginLeft + 150, kLoginTop + 140);
  ASSERT_TRUE(m_Display.Xdotool("type --delay 20 ABC-123"));
  EXPECT_TRUE(WaitUntil(kWaitMs, [this] {
    return DarkPixels(m_Display.Screenshot(kLoginLeft + 80, kLoginTop + 128, 120, 23)) > 10;
  }));
  Click(kLoginLeft + 200, kLoginTop + 180);
  EXPECT_EQ(m_Service.Next(kWaitMs), cBytes({MSG_UI_LOGIN, 1, 'A', 'B', 'C', '-', '1', '2', '3', 0}));
  ASSERT_TRUE(SendToTray(0, StatusMessage(2, "10.1.2.3")));
  EXPECT_EQ(m_Service.Next(kWaitMs), cBytes({MSG_UI_PAGE, 1, 0}));  // the main window replaced the dialog
  EndTray();
}

TEST_F(DisplayTest, WindowIsDraggedByItsTopBandOnly) {
  StartTray();
  ReportStatus(2, "");
  OpenAsTheUser();
  ASSERT_TRUE(m_Display.WaitForWindow("VarloWnd", "VARLO"));
  ASSERT_TRUE(WaitForPixel(kMainLeft + 10, kMainTop + 10, kHeaderBlue));
  auto drag = [this](int x, int y, int dx, int dy) {
    ASSERT_TRUE(m_Display.Xdotool("mousemove " + At(x, y) + " mousedown 1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(m_Display.Xdotool("mousemove " + At(x + dx / 2, y + dy / 2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(m_Display.Xdotool("mousemove " + At(x + dx, y + dy) + " mouseup 1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  drag(kMainLeft + 200, kMainTop + 40, 60, 50);
  EXPECT_EQ(m_Display.Pixel(kMainLeft + 60 + 10, kMainTop + 50 + 10), kHeaderBlue);
  EXPECT_NE(m_Display.Pixel(kMainLeft + 10, kMainTop + 10), kHeaderBlue);
  // Below the band (the page area) nothing moves.
  drag(kMainLeft + 60 + 250, kMainTop + 50 + 200, -60, -50);
  EXPECT_EQ(m_Display.Pixel(kMainLeft + 60 + 10, kMainTop + 50 + 10), kHeaderBlue);
  EndTray();
}
