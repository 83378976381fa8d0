#pragma once
// One of the main window's static texts with its colours.
#include "Varlo/ui/UiTypes.h"

class cStaticText {
 public:
  // 0, or -1 when the control could not be made.
  int Create(int x, int y, int width, HWND parent, HINSTANCE instance, COLORREF textColour, COLORREF backColour);
  HWND Handle() const { return m_hWnd; }
  // Sets the colours of a WM_CTLCOLORSTATIC for this text; false for another control.
  bool Colour(HDC dc, HWND control) const;

 private:
  HWND m_hWnd = nullptr;
  COLORREF m_TextColour = 0;
  COLORREF m_BackColour = 0;
};
