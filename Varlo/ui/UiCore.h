#pragma once
// The window system behind the Win32-shaped functions: the window table of this process, the
// thread's message queue, timers, modal loops and each top-level window's client image. The
// display (UiDisplay.h) shows the images and turns input into messages; without it everything
// else works the same.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Varlo/ui/UiTypes.h"

namespace ui {

class cUiDisplay;

enum class eWindowKind { Dialog, Static, Edit, MessageBox, Menu, NotifyIcon };

// 0x00RRGGBB pixels, rows from the top.
struct cUiImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  void Resize(int newWidth, int newHeight);
};

struct cMenuItem {
  UINT_PTR id;
  std::string text;  // empty for a separator
};

struct cUiWindow {
  HWND handle = nullptr;
  eWindowKind kind = eWindowKind::Dialog;
  std::string className;
  std::string text;
  DWORD style = 0;
  DWORD exStyle = 0;
  DLGPROC dialogProc = nullptr;
  LONG_PTR userData = 0;
  HWND parent = nullptr;  // owner for top-level windows
  bool child = false;
  RECT rect{};            // screen rectangle, or client rectangle in the parent for children
  bool visible = false;
  bool topmost = false;
  int disabledCount = 0;  // modal windows owned by this one
  std::vector<HWND> children;
  bool needsPaint = false;
  RECT invalid{};
  cUiImage image;         // top-level windows
  // Dialogs, message boxes and menus that run modally.
  bool ended = false;
  INT_PTR result = 0;
  // Message boxes and menus.
  std::string caption;
  UINT boxType = 0;
  std::vector<cMenuItem> items;
  int hotItem = -1;
  // Notification icons.
  UINT iconId = 0;
  UINT callbackMessage = 0;
  HICON icon = nullptr;
  HWND iconOwner = nullptr;
  // Colours a static text got from its parent's WM_CTLCOLORSTATIC.
  COLORREF textColour = 0;
  COLORREF backColour = 0xFFFFFF;
  bool transparent = false;

  bool TopLevel() const { return !child; }
  int Width() const { return rect.right - rect.left; }
  int Height() const { return rect.bottom - rect.top; }
};

class cUiCore {
 public:
  static cUiCore& Get();

  HWND NewHandle();
  cUiWindow* Find(HWND handle);
  cUiWindow& Create(eWindowKind kind, const std::string& className, HWND parent, bool child);
  void Destroy(HWND handle);
  const std::map<HWND, std::unique_ptr<cUiWindow>>& Windows() const { return m_Windows; }

  // Any thread.
  void Post(const MSG& message);
  void PostQuit(int code);
  // The window thread: the next message (WM_QUIT included); false when wait is off and none is
  // there.
  bool Next(MSG& message, bool wait);
  LRESULT Dispatch(const MSG& message);
  LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Runs messages until the window's modal run ends (or WM_QUIT, which is posted again).
  void RunModal(cUiWindow& window);
  // Moves the top-level window with the pointer, as its caption would, from where the button went
  // down for the message being handled until the button comes up; other messages run meanwhile.
  void RunMove(cUiWindow& window);

  void SetTimer(HWND window, UINT_PTR id, UINT periodMs);
  bool KillTimer(HWND window, UINT_PTR id);

  void Invalidate(cUiWindow& window, const RECT* rect);
  void Show(cUiWindow& window, bool show);
  void Moved(cUiWindow& window);
  void TextChanged(cUiWindow& window);
  cUiWindow* TopLevelOf(cUiWindow& window);
  // True while a modal window owned by it (directly or further up) keeps the window from input.
  bool InputBlocked(cUiWindow& window);

  void AllowForeign(UINT message);
  bool ForeignAllowed(UINT message);

  cUiDisplay* Display() { return m_Display.get(); }
  bool ConnectDisplay();
  void DisconnectDisplay();
  int ScreenWidth() const;
  int ScreenHeight() const;
  POINT Cursor() const;

 private:
  cUiCore();
  struct cTimer {
    UINT periodMs;
    std::chrono::steady_clock::time_point due;
  };
  bool TakeDueTimer(MSG& message);
  bool TakePaint(MSG& message);
  int MillisecondsToNextTimer() const;
  void Wait(int timeoutMs);

  std::map<HWND, std::unique_ptr<cUiWindow>> m_Windows;
  std::map<std::pair<HWND, UINT_PTR>, cTimer> m_Timers;
  std::mutex m_QueueLock;
  std::deque<MSG> m_Queue;
  POINT m_MessagePos{};  // screen position of the pointer for the message last taken
  bool m_QuitPosted = false;
  int m_QuitCode = 0;
  int m_Wakeup = -1;  // eventfd
  uint32_t m_NextHandle = 1;
  std::vector<UINT> m_ForeignAllowed;
  std::unique_ptr<cUiDisplay> m_Display;
};

}  // namespace ui

namespace ui {
// The image behind an icon handle, null for another handle.
const cUiImage* IconImage(HICON icon);
// What the window system itself does for the message: the controls, message boxes, menus and
// notification icons, and the defaults of dialogs.
LRESULT BuiltInProc(cUiWindow& window, UINT message, WPARAM wParam, LPARAM lParam);
}  // namespace ui

namespace ui {
// Layout of the window system's own windows, shared by their procedures and the display.
int MessageBoxButtonCount(const cUiWindow& box);
RECT MessageBoxButton(const cUiWindow& box, int button);
// The button's caption in the user-interface language.
const char* MessageBoxButtonText(const cUiWindow& box, int button);
// Where the icon the box asks for stands; empty when it asks for none.
RECT MessageBoxIcon(const cUiWindow& box);
// Where the text starts, after the icon.
int MessageBoxTextLeft(const cUiWindow& box);
int MenuItemAt(const cUiWindow& menu, int y);
RECT MenuItemRect(const cUiWindow& menu, int item);
}  // namespace ui
