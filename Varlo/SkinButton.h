#pragma once
// A sprite of the skin: a rectangle with a state that shows the bitmap of slot 0 in state 0 and of
// slot 1 in state 1 (nothing when that slot is empty), and a white rectangle in any other state.
#include "Varlo/ui/UiTypes.h"

class cSkinButton {
 public:
  ~cSkinButton() { Release(); }
  void Set(const RECT& rect, int state, HBITMAP offBitmap, HBITMAP onBitmap);
  void Release();

  // Stores the state and repaints the rectangle when it changed.
  void SetState(HWND window, int state);
  int State() const { return m_State; }
  bool Contains(int x, int y) const;
  void Draw(HDC target, HDC memory) const;

 private:
  RECT m_Rect{};
  int m_State = 0;
  HBITMAP m_Bitmaps[2] = {nullptr, nullptr};
};
