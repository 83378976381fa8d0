#pragma once
// A virtual X display of its own for one test, with screenshots and pointer and keyboard input
// through xdotool.
#include <cstdint>
#include <string>
#include <vector>

class cXvfb {
 public:
  static constexpr int kWidth = 1024;
  static constexpr int kHeight = 768;

  // Starts Xvfb on a free display number; Running() tells whether it came up.
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
  // Runs xdotool with the arguments; true when it succeeded.
  bool Xdotool(const std::string& arguments) const;
  // Waits until a window with that title is mapped.
  bool WaitForWindow(const std::string& title, int timeoutMs = 5000) const;

 private:
  int m_Pid = -1;
  std::string m_Name;
};
