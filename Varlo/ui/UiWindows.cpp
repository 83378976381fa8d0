#include "Varlo/ui/UiWindows.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Varlo/ui/UiCore.h"
#include "Varlo/ui/UiDirectory.h"
#include "Varlo/ui/UiDisplay.h"
#include "Varlo/ui/UiResources.h"
#include "platform/Sessions.h"

using ui::cUiCore;
using ui::cUiWindow;
using ui::eWindowKind;

namespace {

constexpr char kDialogClass[] = "#32770";

std::vector<std::string>& DialogClasses() {
  static std::vector<std::string> classes{kDialogClass};
  return classes;
}

bool IsDialogClass(const char* name) {
  const auto& classes = DialogClasses();
  return std::any_of(classes.begin(), classes.end(),
                     [name](const std::string& each) { return strcasecmp(each.c_str(), name) == 0; });
}

cUiWindow* WindowOf(HWND handle) { return cUiCore::Get().Find(handle); }

// Dialog units to pixels with the average character size of the template's font.
int UnitsToPixelsX(int units, int fontPoints) { return units * (fontPoints * 3 / 4 + 1) / 4; }
int UnitsToPixelsY(int units, int fontPoints) { return units * (fontPoints * 13 / 8) / 8; }

HWND MakeDialog(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM param) {
  if (!IS_INTRESOURCE(templateName)) return nullptr;
  const cUiDialogTemplate* dialogTemplate = UiFindDialogTemplate(instance, LOWORD(templateName));
  if (!dialogTemplate) return nullptr;
  const char* className = dialogTemplate->className ? dialogTemplate->className : kDialogClass;
  if (!IsDialogClass(className)) return nullptr;
  cUiCore& core = cUiCore::Get();
  cUiWindow& window = core.Create(eWindowKind::Dialog, className, parent, false);
  window.dialogProc = proc;
  window.style = dialogTemplate->style;
  window.exStyle = dialogTemplate->exStyle;
  int width = UnitsToPixelsX(dialogTemplate->widthUnits, dialogTemplate->fontPoints);
  int height = UnitsToPixelsY(dialogTemplate->heightUnits, dialogTemplate->fontPoints);
  int left = window.style & DS_CENTER ? (core.ScreenWidth() - width) / 2 : 0;
  int top = window.style & DS_CENTER ? (core.ScreenHeight() - height) / 2 : 0;
  window.rect = RECT{left, top, left + width, top + height};
  window.image.Resize(width, height);
  HWND handle = window.handle;
  core.Send(handle, WM_INITDIALOG, 0, param);
  cUiWindow* created = WindowOf(handle);
  if (!created) return nullptr;
  if (created->style & WS_VISIBLE) core.Show(*created, true);
  return handle;
}

void Place(cUiWindow& window, int x, int y, int width, int height) {
  window.rect = RECT{x, y, x + width, y + height};
  if (window.TopLevel()) window.image.Resize(width, height);
  cUiCore::Get().Moved(window);
  cUiCore::Get().Invalidate(window, nullptr);
}

}  // namespace

BOOL GetClassInfoExA(HINSTANCE instance, LPCSTR className, WNDCLASSEXA* info) {
  if (!className || !info || !IsDialogClass(className)) return FALSE;
  std::memset(info, 0, sizeof *info);
  info->cbSize = sizeof *info;
  info->hInstance = instance;
  info->lpszClassName = className;
  return TRUE;
}

WORD RegisterClassExA(const WNDCLASSEXA* info) {
  if (!info || !info->lpszClassName) return 0;
  if (!IsDialogClass(info->lpszClassName)) DialogClasses().push_back(info->lpszClassName);
  return static_cast<WORD>(DialogClasses().size());
}

HWND CreateDialogParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM param) {
  return MakeDialog(instance, templateName, parent, proc, param);
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  HWND handle = MakeDialog(instance, templateName, owner, proc, param);
  if (!handle) return -1;
  cUiCore& core = cUiCore::Get();
  if (cUiWindow* window = core.Find(handle)) {
    if (!window->ended) core.RunModal(*window);
  }
  INT_PTR result = 0;
  if (cUiWindow* window = core.Find(handle)) result = window->result;
  core.Destroy(handle);
  return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  cUiWindow* window = WindowOf(dialog);
  if (!window || window->kind != eWindowKind::Dialog) return FALSE;
  window->ended = true;
  window->result = result;
  cUiCore::Get().Show(*window, false);
  return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR text, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU, HINSTANCE, void*) {
  if (!className || !parent || !WindowOf(parent)) return nullptr;
  eWindowKind kind;
  if (strcasecmp(className, "static") == 0) {
    kind = eWindowKind::Static;
  } else if (strcasecmp(className, "edit") == 0) {
    kind = eWindowKind::Edit;
  } else {
    return nullptr;
  }
  cUiCore& core = cUiCore::Get();
  cUiWindow& window = core.Create(kind, className, parent, true);
  window.style = style;
  window.exStyle = exStyle;
  window.text = text ? text : "";
  window.rect = RECT{x, y, x + width, y + height};
  if (style & WS_VISIBLE) core.Show(window, true);
  return window.handle;
}

BOOL DestroyWindow(HWND window) {
  if (!WindowOf(window)) return FALSE;
  cUiCore::Get().Destroy(window);
  return TRUE;
}

BOOL IsWindow(HWND window) { return WindowOf(window) != nullptr; }

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
  return ui::cUiDirectory::Get().Find(platform::CurrentSessionId(), className, windowName);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window && !ui::cUiDirectory::IsOwn(window)) {
    return ui::cUiDirectory::Get().PostForeign(window, message, wParam, lParam);
  }
  // Any thread may post, so the window table is not consulted here: a message to a window that
  // is gone is dropped when it is dispatched.
  cUiCore::Get().Post(MSG{window, message, wParam, lParam, 0, {0, 0}});
  return TRUE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return cUiCore::Get().Send(window, message, wParam, lParam);
}

void PostQuitMessage(int exitCode) { cUiCore::Get().PostQuit(exitCode); }

BOOL GetMessageA(MSG* message, HWND, UINT, UINT) {
  return cUiCore::Get().Next(*message, true) && message->message != WM_QUIT ? TRUE : FALSE;
}

BOOL PeekMessageA(MSG* message, HWND, UINT, UINT, UINT) { return cUiCore::Get().Next(*message, false) ? TRUE : FALSE; }

BOOL TranslateMessage(const MSG*) { return TRUE; }

LRESULT DispatchMessageA(const MSG* message) { return cUiCore::Get().Dispatch(*message); }

BOOL ChangeWindowMessageFilter(UINT message, DWORD action) {
  if (action != MSGFLT_ADD) return FALSE;
  cUiCore::Get().AllowForeign(message);
  return TRUE;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT periodMs, void*) {
  if (!WindowOf(window)) return 0;
  cUiCore::Get().SetTimer(window, id, periodMs);
  return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) { return cUiCore::Get().KillTimer(window, id) ? TRUE : FALSE; }

BOOL ShowWindow(HWND handle, int command) {
  cUiWindow* window = WindowOf(handle);
  if (!window) return FALSE;
  BOOL wasVisible = window->visible ? TRUE : FALSE;
  cUiCore::Get().Show(*window, command != SW_HIDE);
  return wasVisible;
}

BOOL IsWindowVisible(HWND handle) {
  cUiWindow* window = WindowOf(handle);
  return window && window->visible ? TRUE : FALSE;
}

BOOL SetWindowPos(HWND handle, HWND insertAfter, int x, int y, int width, int height, UINT flags) {
  cUiWindow* window = WindowOf(handle);
  if (!window) return FALSE;
  int left = flags & SWP_NOMOVE ? window->rect.left : x;
  int top = flags & SWP_NOMOVE ? window->rect.top : y;
  int newWidth = flags & SWP_NOSIZE ? window->Width() : width;
  int newHeight = flags & SWP_NOSIZE ? window->Height() : height;
  if ((flags & (SWP_NOMOVE | SWP_NOSIZE)) != (SWP_NOMOVE | SWP_NOSIZE)) {
    Place(*window, left, top, newWidth, newHeight);
  }
  if (insertAfter == HWND_TOPMOST || insertAfter == HWND_NOTOPMOST) {
    window->topmost = insertAfter == HWND_TOPMOST;
    if (auto* display = cUiCore::Get().Display(); display && window->visible) display->Raise(*window);
  }
  if (flags & SWP_SHOWWINDOW) cUiCore::Get().Show(*window, true);
  return TRUE;
}

BOOL MoveWindow(HWND handle, int x, int y, int width, int height, BOOL) {
  cUiWindow* window = WindowOf(handle);
  if (!window) return FALSE;
  Place(*window, x, y, width, height);
  return TRUE;
}

BOOL GetWindowRect(HWND handle, RECT* rect) {
  cUiWindow* window = WindowOf(handle);
  if (!window || !rect) return FALSE;
  *rect = window->rect;
  return TRUE;
}

BOOL SetWindowTextA(HWND handle, LPCSTR text) {
  cUiWindow* window = WindowOf(handle);
  if (!window) return FALSE;
  window->text = text ? text : "";
  cUiCore::Get().TextChanged(*window);
  return TRUE;
}

int GetWindowTextA(HWND handle, LPSTR buffer, int size) {
  cUiWindow* window = WindowOf(handle);
  if (!window || !buffer || size <= 0) return 0;
  size_t length = std::min(window->text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, window->text.data(), length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

int GetWindowTextLengthA(HWND handle) {
  cUiWindow* window = WindowOf(handle);
  return window ? static_cast<int>(window->text.size()) : 0;
}

LONG_PTR SetWindowLongPtrA(HWND handle, int index, LONG_PTR value) {
  cUiWindow* window = WindowOf(handle);
  if (!window || index != GWLP_USERDATA) return 0;
  LONG_PTR previous = window->userData;
  window->userData = value;
  return previous;
}

LONG_PTR GetWindowLongPtrA(HWND handle, int index) {
  cUiWindow* window = WindowOf(handle);
  return window && index == GWLP_USERDATA ? window->userData : 0;
}

BOOL SetForegroundWindow(HWND handle) {
  cUiWindow* window = WindowOf(handle);
  if (!window) return FALSE;
  if (auto* display = cUiCore::Get().Display(); display && window->visible) display->Raise(*window);
  return TRUE;
}

BOOL ReleaseCapture() { return TRUE; }

int GetSystemMetrics(int index) {
  if (index == SM_CXSCREEN) return cUiCore::Get().ScreenWidth();
  if (index == SM_CYSCREEN) return cUiCore::Get().ScreenHeight();
  return 0;
}

BOOL PtInRect(const RECT* rect, POINT point) {
  return rect && point.x >= rect->left && point.x < rect->right && point.y >= rect->top && point.y < rect->bottom;
}

BOOL GetCursorPos(POINT* point) {
  if (!point) return FALSE;
  *point = cUiCore::Get().Cursor();
  return TRUE;
}

bool UiConnectDisplay() { return cUiCore::Get().ConnectDisplay(); }

void UiDisconnectDisplay() { cUiCore::Get().DisconnectDisplay(); }
