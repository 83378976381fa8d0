#include "tests/tray/Xvfb.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern char** environ;

namespace {

constexpr int kDisplayFd = 3;

// The display number Xvfb writes once it accepts connections; empty when it ended first.
std::string ReadDisplayNumber(int pipe) {
  std::string number;
  pollfd ready{pipe, POLLIN, 0};
  char digit = 0;
  while (poll(&ready, 1, kLongWaitMs) == 1 && read(pipe, &digit, 1) == 1 && digit != '\n')
    number += digit;
  return number;
}

std::string WindowTitle(Display* display, Window window) {
  XTextProperty property{};
  if (!XGetWMName(display, window, &property)) return "";
  std::string title;
  char** list = nullptr;
  int count = 0;
  if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= 0 && count > 0)
    title = list[0];
  if (list) XFreeStringList(list);
  XFree(property.value);
  return title;
}

// A window may go between listing and looking at it; that is no reason to end the test.
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

cXvfb::cXvfb() {
  if (access("/usr/bin/Xvfb", X_OK) != 0) return;
  XSetErrorHandler(&IgnoreErrors);
  // The server picks a free number itself, so tests that start at once never share a display.
  int numberPipe[2];
  if (pipe2(numberPipe, O_CLOEXEC) != 0) return;
  std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
  std::string fd = std::to_string(kDisplayFd);
  // Without -noreset the server starts afresh whenever its last client goes, and a program that
  // connects meanwhile is refused: the test's own short connections would make the programs'
  // displays fail.
  const char* arguments[] = {"Xvfb",         "-displayfd", fd.c_str(),  "-screen", "0",
                             screen.c_str(), "-noreset",   "-nolisten", "tcp",     nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, numberPipe[1], kDisplayFd);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  bool spawned = posix_spawn(&pid, "/usr/bin/Xvfb", &actions, nullptr,
                             const_cast<char**>(arguments), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(numberPipe[1]);
  std::string number = spawned ? ReadDisplayNumber(numberPipe[0]) : "";
  close(numberPipe[0]);
  if (!spawned) return;
  Display* display = number.empty() ? nullptr : XOpenDisplay((":" + number).c_str());
  if (!display) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return;
  }
  XCloseDisplay(display);
  m_Pid = pid;
  m_Name = ":" + number;
  setenv("DISPLAY", m_Name.c_str(), 1);
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
  XImage* image =
      XGetImage(display, DefaultRootWindow(display), x, y, width, height, AllPlanes, ZPixmap);
  if (image) {
    for (int row = 0; row < height; row++) {
      for (int column = 0; column < width; column++)
        pixels.push_back(XGetPixel(image, column, row) & 0xFFFFFF);
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

bool cXvfb::ShowsContent(const std::vector<uint32_t>& pixels, int width, int height) {
  if (width < 3 || height < 3 || pixels.size() != static_cast<size_t>(width) * height) return false;
  const uint32_t first = pixels[static_cast<size_t>(width) + 1];
  for (int y = 1; y < height - 1; y++) {
    for (int x = 1; x < width - 1; x++) {
      if (pixels[static_cast<size_t>(y) * width + x] != first) return true;
    }
  }
  return false;
}

bool cXvfb::Xdotool(const std::string& arguments) const {
  std::string command = "DISPLAY=" + m_Name + " xdotool " + arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

bool cXvfb::Click(int x, int y) const { return Xdotool("mousemove " + At(x, y) + " click 1"); }

std::string cXvfb::At(int x, int y) { return std::to_string(x) + " " + std::to_string(y); }

cXvfb::cWindow cXvfb::Shown(const std::string& className, const std::string& title) const {
  cWindow found;
  Display* display = XOpenDisplay(m_Name.c_str());
  if (!display) return found;
  // Without a window manager every top-level window is a child of the root at its own place.
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  for (unsigned int index = count; index-- > 0 && !found.id;) {
    XWindowAttributes attributes;
    XClassHint hint{};
    if (!XGetWindowAttributes(display, children[index], &attributes) ||
        attributes.map_state != IsViewable)
      continue;
    if (!XGetClassHint(display, children[index], &hint)) continue;
    bool match = hint.res_class && className == hint.res_class &&
                 (title.empty() || WindowTitle(display, children[index]) == title);
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    if (match) found = cWindow{children[index], attributes.x, attributes.y};
  }
  if (children) XFree(children);
  XCloseDisplay(display);
  return found;
}

bool cXvfb::WaitForWindow(const std::string& className, const std::string& title,
                          int timeoutMs) const {
  return WaitUntil(timeoutMs, [&] { return Shown(className, title).id != 0; });
}

bool cXvfb::Key(const cWindow& window, const std::string& key) const {
  Display* display = XOpenDisplay(m_Name.c_str());
  if (!display) return false;
  XKeyEvent press{};
  press.type = KeyPress;
  press.display = display;
  press.window = window.id;
  press.root = DefaultRootWindow(display);
  press.time = CurrentTime;
  press.same_screen = True;
  press.keycode = XKeysymToKeycode(display, XStringToKeysym(key.c_str()));
  bool sent =
      window.id && press.keycode &&
      XSendEvent(display, window.id, True, KeyPressMask, reinterpret_cast<XEvent*>(&press)) != 0;
  XSync(display, False);
  XCloseDisplay(display);
  return sent;
}
