#pragma once
// Painting in the shape of GDI: bitmaps from the instance's resources copied into windows, white
// rectangles and the colours of static texts.
#include "Varlo/ui/UiTypes.h"

struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
};

constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr int WHITE_BRUSH = 0;
constexpr int NULL_BRUSH = 5;
constexpr int WHITE_PEN = 6;
constexpr int TRANSPARENT = 1;

HDC BeginPaint(HWND window, PAINTSTRUCT* paint);
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint);
// Repaints the rectangle (the whole window when null) at the next quiet moment of the queue.
BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase);

HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
// Selecting a bitmap into a memory context makes it the source of BitBlt; pens and brushes into a
// window context are used by Rectangle. Returns the object selected before.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
BOOL BitBlt(HDC target, int x, int y, int width, int height, HDC source, int sourceX, int sourceY, DWORD rop);
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
HGDIOBJ GetStockObject(int index);
BOOL DeleteObject(HGDIOBJ object);

COLORREF SetTextColor(HDC dc, COLORREF colour);
COLORREF SetBkColor(HDC dc, COLORREF colour);
int SetBkMode(HDC dc, int mode);

// Bitmaps and icons of the instance's resources, in the user-interface language where it has one.
// Every LoadBitmapA makes a bitmap of its own, for DeleteObject; an icon is loaded once and shared,
// never destroyed.
HBITMAP LoadBitmapA(HINSTANCE instance, LPCSTR name);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
