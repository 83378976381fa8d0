// The tray program on an X display of its own: what the user sees and clicks.
#include <gtest/gtest.h>

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
    return WaitUntil(kLongWaitMs, [&] { return m_Display.Pixel(x, y) == colour; });
  }
  bool WaitForPixelOtherThan(int x, int y, uint32_t colour) {
    return WaitUntil(kLongWaitMs, [&] { return m_Display.Pixel(x, y) != colour; });
  }
  // Starts the tray program as the service does and waits for its registration.
  void StartTray() {
    m_Tray = std::make_unique<cTrayProgram>("admin");
    ASSERT_EQ(m_Service.Next(kLongWaitMs), cBytes({MSG_UI_USER, 1, 0}));
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
    EXPECT_EQ(user.ExitCode(kLongWaitMs), 0);
  }
  void EndTray() {
    ASSERT_TRUE(SendToTray(0, {MSG_SVC_EXIT, 0}));
    EXPECT_EQ(m_Tray->ExitCode(kLongWaitMs), 0);
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
  EXPECT_EQ(m_Service.Next(kLongWaitMs), cBytes({MSG_UI_PAGE, 1, 0}));
  ASSERT_TRUE(m_Display.WaitForWindow("VarloWnd", "VARLO"));
  EXPECT_TRUE(WaitForPixel(kMainLeft + 10, kMainTop + 10, kHeaderBlue));
  // The agent's address is drawn in S1.
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [this] {
    return DarkPixels(m_Display.Screenshot(kMainLeft + 51, kMainTop + 278, 109, 20)) > 10;
  }));
  uint32_t switchOn = m_Display.Pixel(kMainLeft + 125, kMainTop + 100);
  Click(kMainLeft + 130, kMainTop + 105);
  EXPECT_EQ(m_Service.Next(kLongWaitMs), cBytes({MSG_UI_SYSLOG, 0}));
  EXPECT_TRUE(WaitForPixelOtherThan(kMainLeft + 125, kMainTop + 100, switchOn));
  // The tab of page 2, then the close button.
  Click(kMainLeft + 400, kMainTop + 110);
  EXPECT_EQ(m_Service.Next(kLongWaitMs), cBytes({MSG_UI_PAGE, 0, 0}));
  Click(kMainLeft + 470, kMainTop + 30);
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [this] { return !m_Display.Shown("VarloWnd").id; }));
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
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [this] {
    return DarkPixels(m_Display.Screenshot(kLoginLeft + 80, kLoginTop + 128, 120, 23)) > 10;
  }));
  Click(kLoginLeft + 200, kLoginTop + 180);
  EXPECT_EQ(m_Service.Next(kLongWaitMs),
            cBytes({MSG_UI_LOGIN, 1, 'A', 'B', 'C', '-', '1', '2', '3', 0}));
  ASSERT_TRUE(SendToTray(0, StatusMessage(2, "10.1.2.3")));
  EXPECT_EQ(m_Service.Next(kLongWaitMs),
            cBytes({MSG_UI_PAGE, 1, 0}));  // the main window replaced the dialog
  EndTray();
}

TEST_F(DisplayTest, OpenedBeforeAnyStatusTheTraySaysTheServiceIsMissing) {
  StartTray();
  OpenAsTheUser();
  ASSERT_TRUE(m_Display.WaitForWindow("#32770", "VARLO"));
  // The box shows the error icon the call asks for: a red disc with a white cross.
  cXvfb::cWindow box = m_Display.Shown("#32770", "VARLO");
  EXPECT_TRUE(WaitForPixel(box.left + 16 + 4, box.top + 44 + 16, 0xD83B30));
  EXPECT_TRUE(WaitForPixel(box.left + 16 + 16, box.top + 44 + 16, 0xFFFFFF));
  ASSERT_TRUE(m_Display.Key(box, "Return"));
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [this] { return !m_Display.Shown("#32770", "VARLO").id; }));
  EndTray();
}

TEST_F(DisplayTest, WindowIsDraggedByItsTopBandOnly) {
  StartTray();
  ReportStatus(2, "");
  OpenAsTheUser();
  ASSERT_TRUE(m_Display.WaitForWindow("VarloWnd", "VARLO"));
  ASSERT_TRUE(WaitForPixel(kMainLeft + 10, kMainTop + 10, kHeaderBlue));
  auto drag = [this](int x, int y, int dx, int dy) {
    ASSERT_TRUE(m_Display.Xdotool("mousemove " + At(x, y) + " mousedown 1 mousemove " +
                                  At(x + dx, y + dy) + " mouseup 1"));
  };
  auto windowAt = [this](int left, int top) {
    return WaitUntil(kLongWaitMs, [&] {
      cXvfb::cWindow window = m_Display.Shown("VarloWnd");
      return window.id && window.left == left && window.top == top;
    });
  };
  drag(kMainLeft + 200, kMainTop + 40, 60, 50);
  EXPECT_TRUE(windowAt(kMainLeft + 60, kMainTop + 50));
  // Below the band (the page area) nothing moves.
  drag(kMainLeft + 60 + 250, kMainTop + 50 + 200, -60, -50);
  // A quick click in the band moves nothing either, even when the pointer moves on afterwards, and
  // the next click reaches the window: its close button hides it where the first drag left it.
  Click(kMainLeft + 60 + 200, kMainTop + 50 + 40);
  ASSERT_TRUE(m_Display.Xdotool("mousemove " + At(kMainLeft + 60 + 100, kMainTop + 50 + 140)));
  Click(kMainLeft + 60 + 470, kMainTop + 50 + 30);
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [this] { return !m_Display.Shown("VarloWnd").id; }));
  EndTray();
}
