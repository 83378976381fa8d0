#include "tests/tray/Xvfb.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

extern char** environ;

namespace {

bool DisplayFree(int number) {
  return access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) != 0 &&
         access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) != 0;
}

}  // namespace

cXvfb::cXvfb() {
  if (access("/usr/bin/Xvfb", X_OK) != 0) return;
  for (int number = 90 + getpid() % 400; number < 1000 && m_Pid < 0; number++) {
    if (!DisplayFree(number)) continue;
    m_Name = ":" + std::to_string(number);
    std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
    const char* arguments[] = {"Xvfb", m_Name.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp", nullptr};
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, "/usr/bin/Xvfb", &actions, nullptr, const_cast<char**>(arguments), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid < 0) return;
    for (int tries = 0; tries < 100; tries++) {
      if (Display* display = XOpenDisplay(m_Name.c_str())) {
        XCloseDisplay(display);
        m_Pid = pid;
        setenv("DISPLAY", m_Name.c_str(), 1);
        return;
      }
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) break;  // the number was taken after all
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (m_Pid < 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
}

cXvfb::~cXvfb() {
  if (m_Pid <= 0) return;
  kill(m_Pid, SIGTERM);
  waitpid(m_Pid, nullptr, 0);
  unsetenv("DISPLAY");
}

std::vector<uint32_t> cXvfb::Screenshot(int x, int y, int width, int height) const {
  std::vector<uint32_t> pixels;
  Display* display = XOpenDisplay(m_Name.c_str());
  if (!display) return pixels;
  XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, width, height, AllPlanes, ZPixmap);
  if (image) {
    for (int row = 0; row < height; row++) {
      for (int column = 0; column < width; column++) pixels.push_back(XGetPixel(image, column, row) & 0xFFFFFF);
    }
    XDestroyImage(image);
  }
  XCloseDisplay(display);
  return pixels;
}

uint32_t cXvfb::Pixel(int x, int y) const {
  std::vector<uint32_t> pixels = Screenshot(x, y, 1, 1);
  return pixels.empty() ? 0xDEADBEEF : pixels[0];
}

bool cXvfb::Xdotool(const std::string& arguments) const {
  std::string command = "DISPLAY=" + m_Name + " xdotool " + arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

bool cXvfb::Click(int x, int y) const { return Xdotool("mousemove " + At(x, y) + " click 1"); }

std::string cXvfb::At(int x, int y) { return std::to_string(x) + " " + std::to_string(y); }

bool cXvfb::WaitForWindow(const std::string& title, int timeoutMs) const {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (Xdotool("search --onlyvisible --name '^" + title + "$'")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}
