#include "Varlo/ui/UiCore.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "Varlo/ui/UiDirectory.h"
#include "Varlo/ui/UiDisplay.h"

namespace ui {

void cUiImage::Resize(int newWidth, int newHeight) {
  if (newWidth == width && newHeight == height) return;
  width = std::max(newWidth, 0);
  height = std::max(newHeight, 0);
  pixels.assign(static_cast<size_t>(width) * height, 0xFFFFFF);
}

namespace {

RECT Union(const RECT& a, const RECT& b) {
  return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
              std::max(a.bottom, b.bottom)};
}

}  // namespace

// Never destroyed: window objects with static lifetime still talk to it from their destructors.
cUiCore& cUiCore::Get() {
  static cUiCore* core = new cUiCore;
  return *core;
}

cUiCore::cUiCore() : m_Wakeup(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool cUiCore::ConnectDisplay() {
  if (!m_Display) m_Display = cUiDisplay::Open();
  return m_Display != nullptr;
}

void cUiCore::DisconnectDisplay() {
  for (auto& entry : m_Windows) {
    if (m_Display && entry.second->TopLevel()) m_Display->Forget(*entry.second);
  }
  m_Display.reset();
}

int cUiCore::ScreenWidth() const { return m_Display ? m_Display->ScreenWidth() : 1024; }
int cUiCore::ScreenHeight() const { return m_Display ? m_Display->ScreenHeight() : 768; }
POINT cUiCore::Cursor() const { return m_Display ? m_Display->Cursor() : POINT{0, 0}; }

HWND cUiCore::NewHandle() { return cUiDirectory::MakeHandle(m_NextHandle++); }

cUiWindow* cUiCore::Find(HWND handle) {
  auto found = m_Windows.find(handle);
  return found == m_Windows.end() ? nullptr : found->second.get();
}

cUiWindow& cUiCore::Create(eWindowKind kind, const std::string& className, HWND parent, bool child) {
  auto window = std::make_unique<cUiWindow>();
  window->handle = NewHandle();
  window->kind = kind;
  window->className = className;
  window->parent = parent;
  window->child = child;
  cUiWindow& created = *window;
  m_Windows[created.handle] = std::move(window);
  if (child) {
    if (cUiWindow* owner = Find(parent)) owner->children.push_back(created.handle);
  } else if (kind == eWindowKind::Dialog) {
    cUiDirectory::Get().Publish(created.handle, created.className, created.text);
  }
  return created;
}

void cUiCore::Destroy(HWND handle) {
  cUiWindow* window = Find(handle);
  if (!window) return;
  // Owned top-level windows go first, as their owner's destruction takes them along.
  std::vector<HWND> owned;
  for (auto& entry : m_Windows) {
    if (!entry.second->child && entry.second->parent == handle) owned.push_back(entry.first);
  }
  for (HWND each : owned) Destroy(each);
  window = Find(handle);
  if (!window) return;
  if (window->visible && window->TopLevel() && m_Display) m_Display->Hide(*window);
  window->visible = false;
  Send(handle, WM_DESTROY, 0, 0);
  window = Find(handle);
  if (!window) return;
  std::vector<HWND> children = window->children;
  for (HWND each : children) Destroy(each);
  window = Find(handle);
  if (!window) return;
  if (window->child) {
    if (cUiWindow* parent = Find(window->parent)) {
      parent->children.erase(std::remove(parent->children.begin(), parent->children.end(), handle),
                             parent->children.end());
    }
  } else {
    cUiDirectory::Get().Withdraw(handle);
    if (m_Display) m_Display->Forget(*window);
  }
  for (auto timer = m_Timers.begin(); timer != m_Timers.end();) {
    timer = timer->first.first == handle ? m_Timers.erase(timer) : std::next(timer);
  }
  m_Windows.erase(handle);
}

void cUiCore::Post(const MSG& message) {
  {
    std::lock_guard<std::mutex> lock(m_QueueLock);
    m_Queue.push_back(message);
  }
  uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(m_Wakeup, &one, sizeof one);
}

void cUiCore::PostQuit(int code) {
  {
    std::lock_guard<std::mutex> lock(m_QueueLock);
    m_QuitPosted = true;
    m_QuitCode = code;
  }
  uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(m_Wakeup, &one, sizeof one);
}

bool cUiCore::TakeDueTimer(MSG& message) {
  auto now = std::chrono::steady_clock::now();
  for (auto& entry : m_Timers) {
    if (entry.second.due <= now) {
      entry.second.due = now + std::chrono::milliseconds(entry.second.periodMs);
      message = MSG{entry.first.first, WM_TIMER, entry.first.second, 0, 0, {0, 0}};
      return true;
    }
  }
  return false;
}

bool cUiCore::TakePaint(MSG& message) {
  for (auto& entry : m_Windows) {
    cUiWindow& window = *entry.second;
    if (window.TopLevel() && window.needsPaint) {
      if (!window.visible) {
        window.needsPaint = false;
        continue;
      }
      message = MSG{window.handle, WM_PAINT, 0, 0, 0, {0, 0}};
      return true;
    }
  }
  return false;
}

int cUiCore::MillisecondsToNextTimer() const {
  if (m_Timers.empty()) return -1;
  auto now = std::chrono::steady_clock::now();
  auto next = std::min_element(m_Timers.begin(), m_Timers.end(), [](const auto& a, const auto& b) {
                return a.second.due < b.second.due;
              })->second.due;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, 1 << 30));
}

void cUiCore::Wait(int timeoutMs) {
  if (m_Display) m_Display->Pump();
  {
    std::lock_guard<std::mutex> lock(m_QueueLock);
    if (!m_Queue.empty() || m_QuitPosted) return;
  }
  pollfd fds[3] = {{m_Wakeup, POLLIN, 0}, {cUiDirectory::Get().Socket(), POLLIN, 0},
                   {m_Display ? m_Display->Fd() : -1, POLLIN, 0}};
  poll(fds, 3, timeoutMs);
  uint64_t count = 0;
  [[maybe_unused]] ssize_t got = read(m_Wakeup, &count, sizeof count);
  cUiDirectory::Get().Receive([this](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (ForeignAllowed(message) && Find(window)) Post(MSG{window, message, wParam, lParam, 0, {0, 0}});
  });
  if (m_Display) m_Display->Pump();
}

bool cUiCore::Next(MSG& message, bool wait) {
  for (bool waited = false;; waited = true) {
    {
      std::lock_guard<std::mutex> lock(m_QueueLock);
      if (!m_Queue.empty()) {
        message = m_Queue.front();
        m_Queue.pop_front();
        m_MessagePos = message.pt;
        return true;
      }
      if (m_QuitPosted) {
        m_QuitPosted = false;
        message = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(m_QuitCode), 0, 0, {0, 0}};
        return true;
      }
    }
    if (TakeDueTimer(message) || TakePaint(message)) return true;
    if (!wait && waited) return false;
    Wait(wait ? MillisecondsToNextTimer() : 0);
  }
}

LRESULT cUiCore::Send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  return Dispatch(MSG{handle, message, wParam, lParam, 0, {0, 0}});
}

void cUiCore::RunModal(cUiWindow& modal) {
  HWND handle = modal.handle;
  HWND owner = modal.parent;
  if (cUiWindow* ownerWindow = Find(owner)) ownerWindow->disabledCount++;
  for (;;) {
    cUiWindow* window = Find(handle);
    if (!window || window->ended) break;
    MSG message;
    Next(message, true);
    if (message.message == WM_QUIT) {
      PostQuit(static_cast<int>(message.wParam));
      break;
    }
    Dispatch(message);
  }
  if (cUiWindow* ownerWindow = Find(owner)) ownerWindow->disabledCount--;
}

void cUiCore::RunMove(cUiWindow& window) {
  HWND handle = window.handle;
  const POINT pressed = m_MessagePos;
  const POINT origin{window.rect.left, window.rect.top};
  for (;;) {
    MSG message;
    Next(message, true);
    if (message.message == WM_QUIT) {
      PostQuit(static_cast<int>(message.wParam));
      return;
    }
    if (message.message == WM_LBUTTONUP) return;  // the release ends the move and goes no further
    cUiWindow* moving = Find(handle);
    if (!moving) return;
    if (message.message != WM_MOUSEMOVE) {
      Dispatch(message);
      continue;
    }
    int left = origin.x + message.pt.x - pressed.x;
    int top = origin.y + message.pt.y - pressed.y;
    moving->rect = RECT{left, top, left + moving->Width(), top + moving->Height()};
    Moved(*moving);
  }
}

void cUiCore::SetTimer(HWND window, UINT_PTR id, UINT periodMs) {
  m_Timers[{window, id}] = cTimer{periodMs, std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs)};
}

bool cUiCore::KillTimer(HWND window, UINT_PTR id) { return m_Timers.erase({window, id}) > 0; }

cUiWindow* cUiCore::TopLevelOf(cUiWindow& window) {
  cUiWindow* current = &window;
  while (current && current->child) current = Find(current->parent);
  return current;
}

bool cUiCore::InputBlocked(cUiWindow& window) {
  cUiWindow* top = TopLevelOf(window);
  return top && top->disabledCount > 0;
}

void cUiCore::Invalidate(cUiWindow& window, const RECT* rect) {
  cUiWindow* top = TopLevelOf(window);
  if (!top) return;
  RECT area = RECT{0, 0, top->Width(), top->Height()};
  if (rect) {
    area = *rect;
  } else if (window.child) {
    area = window.rect;
  }
  top->invalid = top->needsPaint ? Union(top->invalid, area) : area;
  top->needsPaint = true;
}

void cUiCore::Show(cUiWindow& window, bool show) {
  if (window.visible == show) return;
  window.visible = show;
  if (window.TopLevel()) {
    if (m_Display) show ? m_Display->Show(window) : m_Display->Hide(window);
    if (window.kind == eWindowKind::Dialog) Send(window.handle, WM_SHOWWINDOW, show ? 1 : 0, 0);
  }
  if (show || window.child) Invalidate(window, nullptr);
}

void cUiCore::Moved(cUiWindow& window) {
  if (window.child) {
    Invalidate(window, nullptr);
  } else if (m_Display) {
    m_Display->Move(window);
  }
}

void cUiCore::TextChanged(cUiWindow& window) {
  if (window.child) {
    Invalidate(window, nullptr);
    return;
  }
  if (window.kind == eWindowKind::Dialog) cUiDirectory::Get().Publish(window.handle, window.className, window.text);
  if (m_Display) m_Display->SetTitle(window);
}

void cUiCore::AllowForeign(UINT message) {
  if (!ForeignAllowed(message)) m_ForeignAllowed.push_back(message);
}

bool cUiCore::ForeignAllowed(UINT message) {
  return std::find(m_ForeignAllowed.begin(), m_ForeignAllowed.end(), message) != m_ForeignAllowed.end();
}

}  // namespace ui

namespace ui {

LRESULT cUiCore::Dispatch(const MSG& message) {
  if (message.message == WM_QUIT) return 0;
  cUiWindow* window = Find(message.hwnd);
  if (!window) return 0;
  if (window->kind != eWindowKind::Dialog || !window->dialogProc) {
    return BuiltInProc(*window, message.message, message.wParam, message.lParam);
  }
  INT_PTR result = window->dialogProc(message.hwnd, message.message, message.wParam, message.lParam);
  if (result || message.message == WM_INITDIALOG || message.message == WM_CTLCOLORSTATIC) return result;
  window = Find(message.hwnd);
  return window ? BuiltInProc(*window, message.message, message.wParam, message.lParam) : 0;
}

}  // namespace ui
