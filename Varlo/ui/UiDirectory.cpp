#include "Varlo/ui/UiDirectory.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "Varlo/ui/UiTestHooks.h"
#include "platform/Files.h"
#include "platform/Sessions.h"

namespace ui {

namespace {

constexpr int kNumberBits = 20;

struct cForeignPost {
  uint64_t window;
  uint32_t message;
  uint64_t wParam;
  int64_t lParam;
};

uint32_t ProcessOf(HWND handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle) >> kNumberBits);
}

// Abstract socket names need no file and no clean-up; the machine root keeps machines apart.
sockaddr_un SocketAddress(uint32_t processId, socklen_t& length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string name = "varlo-ui-" + std::to_string(std::hash<std::string>{}(platform::MachineRoot())) + "-" +
                     std::to_string(processId);
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

bool ProcessAlive(uint32_t processId) {
  if (kill(static_cast<pid_t>(processId), 0) != 0 && errno != EPERM) return false;
  // An ended process that its parent has not reaped yet still answers; its state says "Z".
  std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t name = line.rfind(')');
  return name == std::string::npos || line.compare(name, 3, ") Z") != 0;
}

bool EqualNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

// Never destroyed, like the window system that uses it.
cUiDirectory& cUiDirectory::Get() {
  static cUiDirectory* directory = new cUiDirectory;
  return *directory;
}

HWND cUiDirectory::MakeHandle(uint32_t number) {
  uintptr_t value = (static_cast<uintptr_t>(getpid()) << kNumberBits) | (number & ((1u << kNumberBits) - 1));
  return reinterpret_cast<HWND>(value);
}

bool cUiDirectory::IsOwn(HWND handle) { return ProcessOf(handle) == static_cast<uint32_t>(getpid()); }

std::string cUiDirectory::Folder(DWORD session) {
  return platform::StateFolder() + "/ui/" + std::to_string(session);
}

void cUiDirectory::OpenSocket() {
  if (m_Socket >= 0) return;
  m_Socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  socklen_t length = 0;
  sockaddr_un address = SocketAddress(static_cast<uint32_t>(getpid()), length);
  if (m_Socket >= 0 && bind(m_Socket, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(m_Socket);
    m_Socket = -1;
  }
}

void cUiDirectory::Publish(HWND window, const std::string& className, const std::string& title) {
  OpenSocket();
  std::string folder = Folder(platform::CurrentSessionId());
  platform::CreateFolders(folder);
  platform::WriteFileAtomically(folder + "/" + std::to_string(reinterpret_cast<uintptr_t>(window)),
                                className + "\n" + title + "\n");
}

void cUiDirectory::Withdraw(HWND window) {
  platform::DeletePath(Folder(platform::CurrentSessionId()) + "/" +
                       std::to_string(reinterpret_cast<uintptr_t>(window)));
}

HWND cUiDirectory::Find(DWORD session, const char* className, const char* title) const {
  std::string folder = Folder(session);
  std::vector<std::string> names;
  if (!platform::ListFolder(folder, names)) return nullptr;
  for (const std::string& name : names) {
    char* end = nullptr;
    uintptr_t value = std::strtoull(name.c_str(), &end, 10);
    if (!end || *end != '\0' || value == 0) continue;
    HWND handle = reinterpret_cast<HWND>(value);
    std::string content;
    if (!platform::ReadWholeFile(folder + "/" + name, content)) continue;
    if (!ProcessAlive(ProcessOf(handle))) {
      platform::DeletePath(folder + "/" + name);  // left behind by a process that ended
      continue;
    }
    size_t split = content.find('\n');
    if (split == std::string::npos) continue;
    std::string windowClass = content.substr(0, split);
    std::string windowTitle = content.substr(split + 1);
    if (!windowTitle.empty() && windowTitle.back() == '\n') windowTitle.pop_back();
    if (className && !EqualNoCase(windowClass, className)) continue;
    if (title && !EqualNoCase(windowTitle, title)) continue;
    return handle;
  }
  return nullptr;
}

bool cUiDirectory::PostForeign(HWND window, UINT message, WPARAM wParam, LPARAM lParam) const {
  int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sender < 0) return false;
  socklen_t length = 0;
  sockaddr_un address = SocketAddress(ProcessOf(window), length);
  cForeignPost post{reinterpret_cast<uintptr_t>(window), message, wParam, lParam};
  bool sent = sendto(sender, &post, sizeof post, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address), length) ==
              static_cast<ssize_t>(sizeof post);
  close(sender);
  return sent;
}

void cUiDirectory::Receive(const std::function<void(HWND, UINT, WPARAM, LPARAM)>& receiver) {
  if (m_Socket < 0) return;
  cForeignPost post{};
  while (recv(m_Socket, &post, sizeof post, 0) == static_cast<ssize_t>(sizeof post)) {
    receiver(reinterpret_cast<HWND>(static_cast<uintptr_t>(post.window)), post.message,
             static_cast<WPARAM>(post.wParam), static_cast<LPARAM>(post.lParam));
  }
}

HWND FindWindowInSession(DWORD session, const char* className, const char* title) {
  return cUiDirectory::Get().Find(session, className, title);
}

}  // namespace ui
