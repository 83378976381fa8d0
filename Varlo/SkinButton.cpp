#include "Varlo/SkinButton.h"

#include "Varlo/ui/UiGdi.h"
#include "Varlo/ui/UiWindows.h"

void cSkinButton::Set(const RECT& rect, int state, HBITMAP offBitmap, HBITMAP onBitmap) {
  Release();
  m_Rect = rect;
  m_State = state;
  m_Bitmaps[0] = offBitmap;
  m_Bitmaps[1] = onBitmap;
}

void cSkinButton::Release() {
  for (HBITMAP& bitmap : m_Bitmaps) {
    if (bitmap) DeleteObject(bitmap);
    bitmap = nullptr;
  }
}

void cSkinButton::SetState(HWND window, int state) {
  if (state == m_State) return;
  m_State = state;
  InvalidateRect(window, &m_Rect, FALSE);
}

bool cSkinButton::Contains(int x, int y) const {
  return PtInRect(&m_Rect, POINT{x, y});
}

void cSkinButton::Draw(HDC target, HDC memory) const {
  int width = m_Rect.right - m_Rect.left;
  int height = m_Rect.bottom - m_Rect.top;
  if (m_State == 0 || m_State == 1) {
    if (!m_Bitmaps[m_State]) return;
    HGDIOBJ previous = SelectObject(memory, m_Bitmaps[m_State]);
    BitBlt(target, m_Rect.left, m_Rect.top, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    return;
  }
  HGDIOBJ pen = SelectObject(target, GetStockObject(WHITE_PEN));
  HGDIOBJ brush = SelectObject(target, GetStockObject(WHITE_BRUSH));
  Rectangle(target, m_Rect.left, m_Rect.top, m_Rect.right, m_Rect.bottom);
  SelectObject(target, pen);
  SelectObject(target, brush);
}
