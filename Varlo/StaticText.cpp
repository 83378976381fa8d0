#include "Varlo/StaticText.h"

#include "Varlo/ui/UiGdi.h"
#include "Varlo/ui/UiWindows.h"

namespace {

constexpr DWORD kStaticStyle = 0x50010F00;
constexpr int kStaticHeight = 20;

}  // namespace

int cStaticText::Create(int x, int y, int width, HWND parent, HINSTANCE instance, COLORREF textColour,
                        COLORREF backColour) {
  m_TextColour = textColour;
  m_BackColour = backColour;
  m_hWnd = CreateWindowExA(0, "static", nullptr, kStaticStyle, x, y, width, kStaticHeight, parent,
                           reinterpret_cast<HMENU>(static_cast<intptr_t>(-1)), instance, nullptr);
  return m_hWnd ? 0 : -1;
}

bool cStaticText::Colour(HDC dc, HWND control) const {
  if (!m_hWnd || control != m_hWnd) return false;
  SetTextColor(dc, m_TextColour);
  SetBkColor(dc, m_BackColour);
  SetBkMode(dc, TRANSPARENT);
  return true;
}
