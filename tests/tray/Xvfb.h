#pragma once
// A virtual X display of its own for one test, with screenshots, the windows it shows, and pointer
// and keyboard input through xdotool.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/WaitUntil.h"

class cXvfb {
 public:
  static constexpr int kWidth = 1024;
  static constexpr int kHeight = 768;
  // Where the tray program's windows and icon land on this screen.
  static constexpr int kMainLeft = (kWidth - 500) / 2;
  static constexpr int kMainTop = (kHeight - 400) / 2;
  static constexpr int kLoginLeft = (kWidth - 400) / 2;
  static constexpr int kLoginTop = (kHeight - 310) / 2;
  static constexpr int kIconLeft = kWidth - 4 - 32;
  static constexpr int kIconTop = kHeight - 4 - 32;
  // Colours of the skin: the header, and the icon's signed-in and signed-out marks.
  static constexpr uint32_t kHeaderBlue = 0x2B579A;
  static constexpr uint32_t kSignedInGreen = 0x3BA55C;
  static constexpr uint32_t kSignedOutGrey = 0x909090;

  // Starts Xvfb on a display number the server chooses itself; Running() tells whether it came up.
  cXvfb();
  ~cXvfb();
  cXvfb(const cXvfb&) = delete;
  cXvfb& operator=(const cXvfb&) = delete;

  bool Running() const { return m_Pid > 0; }
  // ":<number>"; also put into DISPLAY for the programs the test starts.
  const std::string& Name() const { return m_Name; }

  // Pixels (0xRRGGBB) of a screen rectangle; empty when it cannot be read.
  std::vector<uint32_t> Screenshot(int x, int y, int width, int height) const;
  uint32_t Pixel(int x, int y) const;
  // A capture of width by height pixels shows drawn content: inside its outermost rows and
  // columns it holds more than one colour. A window that exists but is not drawn yet shows blank,
  // or as an empty frame.
  static bool ShowsContent(const std::vector<uint32_t>& pixels, int width, int height);
  // Runs xdotool with the arguments; true when it succeeded.
  bool Xdotool(const std::string& arguments) const;
  // Moves the pointer to the screen point and clicks the left button.
  bool Click(int x, int y) const;
  // "x y" for xdotool.
  static std::string At(int x, int y);

  struct cWindow {
    unsigned long id = 0;  // 0: none shown
    int left = 0;
    int top = 0;
  };
  // The shown window of the window-system class with that title (any title when empty).
  cWindow Shown(const std::string& className, const std::string& title = "") const;
  // Waits until such a window is shown.
  bool WaitForWindow(const std::string& className, const std::string& title = "",
                     int timeoutMs = kLongWaitMs) const;
  // Sends a key press (an X key name such as "Return") to the window.
  bool Key(const cWindow& window, const std::string& key) const;

 private:
  int m_Pid = -1;
  std::string m_Name;
};
