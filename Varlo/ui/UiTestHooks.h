#pragma once
// What a test without a display needs to stand in for the user and to look at the notification
// area. Without a display and without a hook a message box answers with its first button and a
// popup menu chooses nothing.
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Varlo/ui/UiTypes.h"

namespace ui {

struct cMessageBoxRequest {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
// The answer (IDOK, IDCANCEL) of every message box shown without a display; an empty function
// restores the default.
void SetMessageBoxHandler(std::function<int(const cMessageBoxRequest&)> handler);

// The item id a popup menu returns without a display, 0 for none; it gets the item ids and texts.
void SetPopupMenuHandler(std::function<UINT_PTR(const std::vector<std::pair<UINT_PTR, std::string>>&)> handler);

// Whether a notification area exists without a display (it exists with one).
void SetNotificationAreaPresent(bool present);
// The resource id of the icon shown for (window, id); 0 when there is no such icon.
int NotifyIconResource(HWND window, UINT id);

// The resource id an icon handle was loaded from, 0 for another handle.
int IconResourceId(HICON icon);
// Bitmaps, icons, brushes and pens that exist, to tell a leak.
size_t GdiObjectCount();

// FindWindowA as a process of another session would call it.
HWND FindWindowInSession(DWORD session, const char* className, const char* title);

// Pixels (0x00RRGGBB, rows from the top) of a top-level window's client image.
bool WindowImage(HWND window, int& width, int& height, std::vector<uint32_t>& pixels);

}  // namespace ui
