#include "Varlo/ui/UiShell.h"

#include <cstring>
#include <string>

#include "Varlo/ui/UiCore.h"
#include "Varlo/ui/UiTestHooks.h"
#include "platform/Files.h"

namespace {

using ui::cUiCore;
using ui::cUiWindow;

constexpr int kIconSize = 32;
constexpr int kIconMargin = 4;

bool& HeadlessAreaPresent() {
  static bool present = false;
  return present;
}

cUiWindow* IconWindow(HWND owner, UINT id) {
  for (auto& entry : cUiCore::Get().Windows()) {
    cUiWindow& window = *entry.second;
    if (window.kind == ui::eWindowKind::NotifyIcon && window.iconOwner == owner && window.iconId == id) return &window;
  }
  return nullptr;
}

int IconCount() {
  int count = 0;
  for (auto& entry : cUiCore::Get().Windows()) count += entry.second->kind == ui::eWindowKind::NotifyIcon;
  return count;
}

void Apply(cUiWindow& icon, const NOTIFYICONDATAA& data) {
  if (data.uFlags & NIF_MESSAGE) icon.callbackMessage = data.uCallbackMessage;
  if (data.uFlags & NIF_ICON) icon.icon = data.hIcon;
  if (data.uFlags & NIF_TIP) icon.text.assign(data.szTip, strnlen(data.szTip, sizeof data.szTip));
  cUiCore::Get().Invalidate(icon, nullptr);
  cUiCore::Get().TextChanged(icon);
}

}  // namespace

BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data) {
  if (!data) return FALSE;
  cUiCore& core = cUiCore::Get();
  cUiWindow* icon = IconWindow(data->hWnd, data->uID);
  switch (message) {
    case NIM_ADD: {
      if (icon || !core.Find(data->hWnd) || !(core.Display() || HeadlessAreaPresent())) return FALSE;
      // The notification area is a row of icons along the bottom right of the screen.
      int slot = IconCount();
      cUiWindow& created = core.Create(ui::eWindowKind::NotifyIcon, "VarloNotifyIcon", nullptr, false);
      created.iconOwner = data->hWnd;
      created.iconId = data->uID;
      int right = core.ScreenWidth() - kIconMargin - slot * (kIconSize + kIconMargin);
      int bottom = core.ScreenHeight() - kIconMargin;
      created.rect = RECT{right - kIconSize, bottom - kIconSize, right, bottom};
      created.image.Resize(kIconSize, kIconSize);
      created.topmost = true;
      Apply(created, *data);
      core.Show(created, true);
      return TRUE;
    }
    case NIM_MODIFY:
      if (!icon) return FALSE;
      Apply(*icon, *data);
      return TRUE;
    case NIM_DELETE:
      if (!icon) return FALSE;
      core.Destroy(icon->handle);
      return TRUE;
    default:
      return FALSE;
  }
}

HINSTANCE ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR, LPCSTR, int) {
  std::string folder = platform::StateFolder();
  platform::CreateFolders(folder);
  if (FILE* log = platform::OpenFile(folder + "/shell-execute.log", "ab")) {
    std::string line = std::string(verb ? verb : "open") + " " + (file ? file : "") + "\n";
    std::fwrite(line.data(), 1, line.size(), log);
    std::fclose(log);
  }
  return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(42));
}

namespace ui {

void SetNotificationAreaPresent(bool present) { HeadlessAreaPresent() = present; }

int NotifyIconResource(HWND window, UINT id) {
  cUiWindow* icon = IconWindow(window, id);
  return icon ? IconResourceId(icon->icon) : 0;
}

}  // namespace ui
