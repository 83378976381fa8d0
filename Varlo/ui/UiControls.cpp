// The window system's own windows: static texts, edit fields, message boxes, popup menus and
// notification icons, and the defaults of dialogs.
#include <functional>
#include <utility>

#include "Varlo/ui/UiCore.h"
#include "Varlo/ui/UiDisplay.h"
#include "Varlo/ui/UiGdi.h"
#include "Varlo/ui/UiResources.h"
#include "Varlo/ui/UiTestHooks.h"
#include "Varlo/ui/UiWindows.h"

namespace ui {

namespace {

constexpr int kBoxWidth = 360;
constexpr int kBoxHeight = 150;
constexpr int kBoxMargin = 16;
constexpr int kBoxIconTop = 44;
constexpr int kBoxIconSize = 32;
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 28;
constexpr int kMenuItemHeight = 24;
constexpr int kMenuSeparatorHeight = 8;
constexpr int kMenuWidth = 120;
constexpr int kKeyReturn = 0x0D;
constexpr int kKeyEscape = 0x1B;
constexpr int kKeyBack = 0x08;

std::function<int(const cMessageBoxRequest&)>& MessageBoxHandler() {
  static std::function<int(const cMessageBoxRequest&)> handler;
  return handler;
}

std::function<UINT_PTR(const std::vector<std::pair<UINT_PTR, std::string>>&)>& PopupMenuHandler() {
  static std::function<UINT_PTR(const std::vector<std::pair<UINT_PTR, std::string>>&)> handler;
  return handler;
}

void EndWith(cUiWindow& window, INT_PTR result) {
  window.ended = true;
  window.result = result;
}

// Typed text goes to the end; the field shows no selection, so EM_SETSEL changes nothing.
LRESULT EditProc(cUiWindow& edit, UINT message, WPARAM wParam) {
  if (message != WM_CHAR) return 0;
  if (wParam == kKeyBack) {
    // Whole UTF-8 characters go, never a byte of one.
    while (!edit.text.empty()) {
      unsigned char last = static_cast<unsigned char>(edit.text.back());
      edit.text.pop_back();
      if ((last & 0xC0) != 0x80) break;
    }
  } else if (wParam >= 0x20 && wParam < 0x7F) {
    edit.text.push_back(static_cast<char>(wParam));
  }
  cUiCore::Get().Invalidate(edit, nullptr);
  return 0;
}

LRESULT MessageBoxProc(cUiWindow& box, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_LBUTTONUP) {
    int x = GET_X_LPARAM(lParam);
    int y = GET_Y_LPARAM(lParam);
    for (int button = 0; button < MessageBoxButtonCount(box); button++) {
      RECT rect = MessageBoxButton(box, button);
      if (PtInRect(&rect, POINT{x, y})) EndWith(box, button == 0 ? IDOK : IDCANCEL);
    }
  } else if (message == WM_KEYDOWN && wParam == kKeyReturn) {
    EndWith(box, IDOK);
  } else if (message == WM_KEYDOWN && wParam == kKeyEscape) {
    EndWith(box, MessageBoxButtonCount(box) > 1 ? IDCANCEL : IDOK);
  } else if (message == WM_CLOSE) {
    EndWith(box, MessageBoxButtonCount(box) > 1 ? IDCANCEL : IDOK);
  }
  return 0;
}

LRESULT MenuProc(cUiWindow& menu, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_LBUTTONUP || message == WM_RBUTTONUP) {
    int y = GET_Y_LPARAM(lParam);
    int x = GET_X_LPARAM(lParam);
    if (x < 0 || x >= menu.Width() || y < 0 || y >= menu.Height()) {
      EndWith(menu, 0);
      return 0;
    }
    int item = MenuItemAt(menu, y);
    if (item >= 0 && !menu.items[item].text.empty()) EndWith(menu, static_cast<INT_PTR>(menu.items[item].id));
  } else if (message == WM_MOUSEMOVE) {
    int item = MenuItemAt(menu, GET_Y_LPARAM(lParam));
    if (item != menu.hotItem) {
      menu.hotItem = item;
      cUiCore::Get().Invalidate(menu, nullptr);
    }
  } else if (message == WM_KEYDOWN && wParam == kKeyEscape) {
    EndWith(menu, 0);
  }
  return 0;
}

LRESULT NotifyIconProc(cUiWindow& icon, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      PostMessageA(icon.iconOwner, icon.callbackMessage, icon.iconId, static_cast<LPARAM>(message));
      break;
    default:
      break;
  }
  return 0;
}

LRESULT DialogDefaults(cUiWindow& dialog, UINT message, WPARAM wParam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    BeginPaint(dialog.handle, &paint);
    EndPaint(dialog.handle, &paint);
  } else if (message == WM_NCLBUTTONDOWN && wParam == HTCAPTION && dialog.TopLevel()) {
    // Without a display there is no pointer to follow.
    if (cUiCore::Get().Display()) cUiCore::Get().RunMove(dialog);
  }
  return 0;
}

// Message boxes, menus and icons are drawn by the display itself; a paint only shows them.
LRESULT PresentWhole(cUiWindow& window) {
  window.needsPaint = false;
  if (cUiDisplay* display = cUiCore::Get().Display()) display->Present(window, RECT{0, 0, window.Width(), window.Height()});
  return 0;
}

}  // namespace

int MessageBoxButtonCount(const cUiWindow& box) { return (box.boxType & 0x0F) == MB_OKCANCEL ? 2 : 1; }

const char* MessageBoxButtonText(const cUiWindow& box, int button) {
  // OK, then Cancel.
  static const struct {
    LANGID language;
    const char* texts[2];
  } kTexts[] = {{LANG_JAPANESE_JP, {"OK", "キャンセル"}}, {LANG_KOREAN_KR, {"확인", "취소"}}};
  int index = button == 0 || MessageBoxButtonCount(box) == 1 ? 0 : 1;
  LANGID language = GetUserDefaultUILanguage();
  for (const auto& entry : kTexts) {
    if (entry.language == language) return entry.texts[index];
  }
  return index == 0 ? "OK" : "Cancel";
}

RECT MessageBoxIcon(const cUiWindow& box) {
  if ((box.boxType & MB_ICONMASK) != MB_ICONERROR) return RECT{0, 0, 0, 0};
  return RECT{kBoxMargin, kBoxIconTop, kBoxMargin + kBoxIconSize, kBoxIconTop + kBoxIconSize};
}

int MessageBoxTextLeft(const cUiWindow& box) {
  RECT icon = MessageBoxIcon(box);
  return icon.right > icon.left ? icon.right + kBoxMargin : kBoxMargin;
}

RECT MessageBoxButton(const cUiWindow& box, int button) {
  int count = MessageBoxButtonCount(box);
  int gap = 12;
  int left = box.Width() - count * kButtonWidth - (count - 1) * gap - kBoxMargin +
             button * (kButtonWidth + gap);
  int top = box.Height() - kButtonHeight - 14;
  return RECT{left, top, left + kButtonWidth, top + kButtonHeight};
}

int MenuItemAt(const cUiWindow& menu, int y) {
  int top = 4;
  for (size_t index = 0; index < menu.items.size(); index++) {
    int height = menu.items[index].text.empty() ? kMenuSeparatorHeight : kMenuItemHeight;
    if (y >= top && y < top + height) return static_cast<int>(index);
    top += height;
  }
  return -1;
}

RECT MenuItemRect(const cUiWindow& menu, int item) {
  int top = 4;
  for (int index = 0; index < item; index++) {
    top += menu.items[index].text.empty() ? kMenuSeparatorHeight : kMenuItemHeight;
  }
  int height = menu.items[item].text.empty() ? kMenuSeparatorHeight : kMenuItemHeight;
  return RECT{2, top, menu.Width() - 2, top + height};
}

LRESULT BuiltInProc(cUiWindow& window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (window.kind) {
    case eWindowKind::Dialog:
      return DialogDefaults(window, message, wParam);
    case eWindowKind::Edit:
      return EditProc(window, message, wParam);
    case eWindowKind::Static:
      return 0;
    case eWindowKind::MessageBox:
      return message == WM_PAINT ? PresentWhole(window) : MessageBoxProc(window, message, wParam, lParam);
    case eWindowKind::Menu:
      return message == WM_PAINT ? PresentWhole(window) : MenuProc(window, message, wParam, lParam);
    case eWindowKind::NotifyIcon:
      return message == WM_PAINT ? PresentWhole(window) : NotifyIconProc(window, message, wParam, lParam);
  }
  return 0;
}

void SetMessageBoxHandler(std::function<int(const cMessageBoxRequest&)> handler) {
  MessageBoxHandler() = std::move(handler);
}

void SetPopupMenuHandler(std::function<UINT_PTR(const std::vector<std::pair<UINT_PTR, std::string>>&)> handler) {
  PopupMenuHandler() = std::move(handler);
}

}  // namespace ui

using ui::cUiCore;
using ui::cUiWindow;

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  cUiCore& core = cUiCore::Get();
  ui::cMessageBoxRequest request{owner, text ? text : "", caption ? caption : "", type};
  if (!core.Display()) {
    if (auto& handler = ui::MessageBoxHandler()) return handler(request);
    return IDOK;
  }
  cUiWindow& box = core.Create(ui::eWindowKind::MessageBox, "#32770", owner, false);
  box.text = request.text;
  box.caption = request.caption;
  box.boxType = type;
  int left = (core.ScreenWidth() - ui::kBoxWidth) / 2;
  int top = (core.ScreenHeight() - ui::kBoxHeight) / 2;
  box.rect = RECT{left, top, left + ui::kBoxWidth, top + ui::kBoxHeight};
  box.topmost = true;
  core.Show(box, true);
  HWND handle = box.handle;
  core.RunModal(box);
  cUiWindow* ended = core.Find(handle);
  int result = ended && ended->ended ? static_cast<int>(ended->result) : IDCANCEL;
  core.Destroy(handle);
  return result;
}

namespace {

struct cMenu {
  std::vector<ui::cMenuItem> items;
};

}  // namespace

HMENU CreatePopupMenu() { return reinterpret_cast<HMENU>(new cMenu); }

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) {
  if (!menu) return FALSE;
  reinterpret_cast<cMenu*>(menu)->items.push_back(
      ui::cMenuItem{id, (flags & MF_SEPARATOR) || !text ? std::string() : std::string(text)});
  return TRUE;
}

BOOL DestroyMenu(HMENU menu) {
  delete reinterpret_cast<cMenu*>(menu);
  return menu ? TRUE : FALSE;
}

BOOL TrackPopupMenu(HMENU menu, UINT, int x, int y, int, HWND owner, const RECT*) {
  if (!menu) return FALSE;
  const auto& items = reinterpret_cast<cMenu*>(menu)->items;
  cUiCore& core = cUiCore::Get();
  UINT_PTR chosen = 0;
  if (!core.Display()) {
    std::vector<std::pair<UINT_PTR, std::string>> entries;
    for (const auto& item : items) entries.emplace_back(item.id, item.text);
    if (auto& handler = ui::PopupMenuHandler()) chosen = handler(entries);
  } else {
    cUiWindow& popup = core.Create(ui::eWindowKind::Menu, "#32768", nullptr, false);
    popup.items = items;
    int height = 8;
    for (const auto& item : items) height += item.text.empty() ? ui::kMenuSeparatorHeight : ui::kMenuItemHeight;
    int left = std::min(x, core.ScreenWidth() - ui::kMenuWidth);
    int top = std::min(y, core.ScreenHeight() - height);
    popup.rect = RECT{left, top, left + ui::kMenuWidth, top + height};
    popup.topmost = true;
    core.Show(popup, true);
    HWND handle = popup.handle;
    core.RunModal(popup);
    if (cUiWindow* ended = core.Find(handle)) chosen = static_cast<UINT_PTR>(ended->result);
    core.Destroy(handle);
  }
  if (chosen) PostMessageA(owner, WM_COMMAND, chosen, 0);
  return TRUE;
}
