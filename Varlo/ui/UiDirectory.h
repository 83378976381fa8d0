#pragma once
// The top-level windows of each user session, shared by the processes of the session: one small
// file per window in the stand-in's state folder ("ui/<session>/<handle>", holding class and
// title), and one datagram socket per process through which other processes post messages to its
// windows (handles name their process on the whole machine).
#include <functional>
#include <string>

#include "Varlo/ui/UiTypes.h"

namespace ui {

class cUiDirectory {
 public:
  static cUiDirectory& Get();

  // Handles carry the process id, so a handle names its process on the whole machine.
  static HWND MakeHandle(uint32_t number);
  static bool IsOwn(HWND handle);

  void Publish(HWND window, const std::string& className, const std::string& title);
  void Withdraw(HWND window);
  // A window of a live process of the session whose class and title match (without regard to
  // case; null matches any).
  HWND Find(DWORD session, const char* className, const char* title) const;

  bool PostForeign(HWND window, UINT message, WPARAM wParam, LPARAM lParam) const;
  // The socket to wait on; -1 until the first window is published.
  int Socket() const { return m_Socket; }
  // Hands every message that has arrived to the receiver.
  void Receive(const std::function<void(HWND, UINT, WPARAM, LPARAM)>& receiver);

 private:
  cUiDirectory() = default;
  void OpenSocket();
  // The windows of a session.
  static std::string Folder(DWORD session);
  int m_Socket = -1;
};

}  // namespace ui
