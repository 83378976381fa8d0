#include "Varlo/DragBand.h"

#include "Varlo/ui/UiWindows.h"

void DragInBand(HWND window, LPARAM position, int bandHeight,
                std::initializer_list<const RECT*> buttons) {
  POINT point{GET_X_LPARAM(position), GET_Y_LPARAM(position)};
  if (point.y >= bandHeight) return;
  for (const RECT* button : buttons) {
    if (PtInRect(button, point)) return;
  }
  ReleaseCapture();
  SendMessageA(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}
