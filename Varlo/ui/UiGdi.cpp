#include "Varlo/ui/UiGdi.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include "Varlo/ui/UiCore.h"
#include "Varlo/ui/UiDisplay.h"
#include "Varlo/ui/UiResources.h"
#include "Varlo/ui/UiTestHooks.h"

namespace {

using ui::cUiImage;
using ui::cUiWindow;

enum class eObjectKind { Bitmap, Icon, Brush, Pen };

struct cGdiObject {
  eObjectKind kind;
  cUiImage image;
  int resourceId = 0;
  bool shared = false;  // a stock object or an icon of the resources: never deleted
  bool white = false;  // brushes and pens: white or null
};

struct cDeviceContext {
  HWND window = nullptr;       // window contexts
  cGdiObject* bitmap = nullptr;  // memory contexts
  cGdiObject* brush = nullptr;
  cGdiObject* pen = nullptr;
  COLORREF textColour = 0;
  COLORREF backColour = 0xFFFFFF;
  int backMode = 2;
  RECT area{};
};

// Both outlive every static object that may still release bitmaps at exit.
std::mutex& ObjectLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::set<cGdiObject*>& Objects() {
  static std::set<cGdiObject*>* objects = new std::set<cGdiObject*>;
  return *objects;
}

cGdiObject* ObjectOf(HGDIOBJ handle) {
  std::lock_guard<std::mutex> lock(ObjectLock());
  auto* object = reinterpret_cast<cGdiObject*>(handle);
  return Objects().count(object) ? object : nullptr;
}

cGdiObject* NewObject(eObjectKind kind) {
  auto* object = new cGdiObject{kind, {}, 0, false, false};
  std::lock_guard<std::mutex> lock(ObjectLock());
  Objects().insert(object);
  return object;
}

cGdiObject* StockObject(int index) {
  static cGdiObject* whiteBrush = [] {
    cGdiObject* object = NewObject(eObjectKind::Brush);
    object->shared = object->white = true;
    return object;
  }();
  static cGdiObject* nullBrush = [] {
    cGdiObject* object = NewObject(eObjectKind::Brush);
    object->shared = true;
    return object;
  }();
  static cGdiObject* whitePen = [] {
    cGdiObject* object = NewObject(eObjectKind::Pen);
    object->shared = object->white = true;
    return object;
  }();
  switch (index) {
    case WHITE_BRUSH:
      return whiteBrush;
    case NULL_BRUSH:
      return nullBrush;
    case WHITE_PEN:
      return whitePen;
    default:
      return nullptr;
  }
}

cDeviceContext* ContextOf(HDC dc) { return reinterpret_cast<cDeviceContext*>(dc); }

cUiImage* TargetOf(cDeviceContext& dc) {
  if (dc.bitmap) return &dc.bitmap->image;
  cUiWindow* window = ui::cUiCore::Get().Find(dc.window);
  if (!window) return nullptr;
  cUiWindow* top = ui::cUiCore::Get().TopLevelOf(*window);
  return top ? &top->image : nullptr;
}

// Finds the image of (id, kind) in the archive: the user's language first, then the neutral one.
bool LoadImage(HINSTANCE instance, LPCSTR name, int kind, cUiImage& image) {
  const cUiModule* module = UiModuleOf(instance);
  if (!module || !IS_INTRESOURCE(name)) return false;
  WORD id = LOWORD(name);
  LANGID wanted[2] = {GetUserDefaultUILanguage(), LANG_NEUTRAL_ID};
  for (LANGID language : wanted) {
    size_t offset = 0;
    const unsigned char* bytes = module->images;
    while (offset + 9 <= module->imageBytes) {
      auto word = [&](size_t at) { return static_cast<int>(bytes[at] | (bytes[at + 1] << 8)); };
      int recordId = word(offset);
      int recordLanguage = word(offset + 2);
      int recordKind = bytes[offset + 4];
      int width = word(offset + 5);
      int height = word(offset + 7);
      size_t pixelBytes = static_cast<size_t>(width) * height * 3;
      if (offset + 9 + pixelBytes > module->imageBytes) return false;
      if (recordId == id && recordLanguage == language && recordKind == kind) {
        image.Resize(width, height);
        const unsigned char* pixel = bytes + offset + 9;
        for (size_t index = 0; index < image.pixels.size(); index++, pixel += 3) {
          image.pixels[index] = static_cast<uint32_t>(pixel[0] | (pixel[1] << 8) | (pixel[2] << 16));
        }
        return true;
      }
      offset += 9 + pixelBytes;
    }
  }
  return false;
}

HGDIOBJ LoadResource(HINSTANCE instance, LPCSTR name, eObjectKind kind) {
  cUiImage image;
  if (!LoadImage(instance, name, kind == eObjectKind::Icon ? 1 : 0, image)) return nullptr;
  cGdiObject* object = NewObject(kind);
  object->image = std::move(image);
  object->resourceId = LOWORD(name);
  return reinterpret_cast<HGDIOBJ>(object);
}

}  // namespace

HDC BeginPaint(HWND handle, PAINTSTRUCT* paint) {
  cUiWindow* window = ui::cUiCore::Get().Find(handle);
  if (!window || !paint) return nullptr;
  auto* dc = new cDeviceContext;
  dc->window = handle;
  dc->area = window->needsPaint ? window->invalid : RECT{0, 0, window->Width(), window->Height()};
  window->needsPaint = false;
  paint->hdc = reinterpret_cast<HDC>(dc);
  paint->fErase = FALSE;
  paint->rcPaint = dc->area;
  return paint->hdc;
}

BOOL EndPaint(HWND handle, const PAINTSTRUCT* paint) {
  if (!paint) return FALSE;
  ui::cUiCore& core = ui::cUiCore::Get();
  cUiWindow* window = core.Find(handle);
  if (window && window->visible && core.Display()) {
    // Static texts take their colours from their parent at every paint, as on Windows.
    for (HWND child : std::vector<HWND>(window->children)) {
      cUiWindow* control = core.Find(child);
      if (!control || control->kind != ui::eWindowKind::Static) continue;
      cDeviceContext colours;
      colours.window = child;
      core.Send(handle, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(&colours), reinterpret_cast<LPARAM>(child));
    }
    if ((window = core.Find(handle))) core.Display()->Present(*window, paint->rcPaint);
  }
  delete ContextOf(paint->hdc);
  return TRUE;
}

BOOL InvalidateRect(HWND handle, const RECT* rect, BOOL) {
  cUiWindow* window = ui::cUiCore::Get().Find(handle);
  if (!window) return FALSE;
  ui::cUiCore::Get().Invalidate(*window, rect);
  return TRUE;
}

HDC CreateCompatibleDC(HDC) { return reinterpret_cast<HDC>(new cDeviceContext); }

BOOL DeleteDC(HDC dc) {
  delete ContextOf(dc);
  return dc ? TRUE : FALSE;
}

HGDIOBJ SelectObject(HDC handle, HGDIOBJ object) {
  cDeviceContext* dc = ContextOf(handle);
  cGdiObject* selected = ObjectOf(object);
  if (!dc || !selected) return nullptr;
  cGdiObject** slot = selected->kind == eObjectKind::Brush ? &dc->brush
                      : selected->kind == eObjectKind::Pen ? &dc->pen
                                                            : &dc->bitmap;
  cGdiObject* previous = *slot;
  *slot = selected;
  return reinterpret_cast<HGDIOBJ>(previous);
}

BOOL BitBlt(HDC target, int x, int y, int width, int height, HDC source, int sourceX, int sourceY, DWORD) {
  cDeviceContext* to = ContextOf(target);
  cDeviceContext* from = ContextOf(source);
  if (!to || !from || !from->bitmap) return FALSE;
  cUiImage* destination = TargetOf(*to);
  const cUiImage& image = from->bitmap->image;
  if (!destination) return FALSE;
  for (int row = 0; row < height; row++) {
    int toY = y + row;
    int fromY = sourceY + row;
    if (toY < 0 || toY >= destination->height || fromY < 0 || fromY >= image.height) continue;
    for (int column = 0; column < width; column++) {
      int toX = x + column;
      int fromX = sourceX + column;
      if (toX < 0 || toX >= destination->width || fromX < 0 || fromX >= image.width) continue;
      destination->pixels[static_cast<size_t>(toY) * destination->width + toX] =
          image.pixels[static_cast<size_t>(fromY) * image.width + fromX];
    }
  }
  return TRUE;
}

BOOL Rectangle(HDC handle, int left, int top, int right, int bottom) {
  cDeviceContext* dc = ContextOf(handle);
  cUiImage* destination = dc ? TargetOf(*dc) : nullptr;
  if (!destination) return FALSE;
  bool fill = dc->brush && dc->brush->white;
  bool frame = !dc->pen || dc->pen->white;
  if (!fill && !frame) return TRUE;
  for (int y = std::max(top, 0); y < std::min(bottom, destination->height); y++) {
    for (int x = std::max(left, 0); x < std::min(right, destination->width); x++) {
      bool edge = y == top || y == bottom - 1 || x == left || x == right - 1;
      if (fill || edge) destination->pixels[static_cast<size_t>(y) * destination->width + x] = 0xFFFFFF;
    }
  }
  return TRUE;
}

HGDIOBJ GetStockObject(int index) { return reinterpret_cast<HGDIOBJ>(StockObject(index)); }

BOOL DeleteObject(HGDIOBJ handle) {
  cGdiObject* object = ObjectOf(handle);
  if (!object || object->shared) return FALSE;
  {
    std::lock_guard<std::mutex> lock(ObjectLock());
    Objects().erase(object);
  }
  delete object;
  return TRUE;
}

namespace {

// Stores a setting in the context and in the static text that the context paints for.
template <typename T>
T ChangeSetting(HDC handle, T cDeviceContext::*field, T value, void (*apply)(cUiWindow&, T)) {
  cDeviceContext* dc = ContextOf(handle);
  if (!dc) return T{};
  T previous = dc->*field;
  dc->*field = value;
  if (cUiWindow* window = ui::cUiCore::Get().Find(dc->window)) apply(*window, value);
  return previous;
}

}  // namespace

COLORREF SetTextColor(HDC dc, COLORREF colour) {
  return ChangeSetting<COLORREF>(dc, &cDeviceContext::textColour, colour,
                                 [](cUiWindow& window, COLORREF value) { window.textColour = value; });
}

COLORREF SetBkColor(HDC dc, COLORREF colour) {
  return ChangeSetting<COLORREF>(dc, &cDeviceContext::backColour, colour,
                                 [](cUiWindow& window, COLORREF value) { window.backColour = value; });
}

int SetBkMode(HDC dc, int mode) {
  return ChangeSetting<int>(dc, &cDeviceContext::backMode, mode,
                            [](cUiWindow& window, int value) { window.transparent = value == TRANSPARENT; });
}

HBITMAP LoadBitmapA(HINSTANCE instance, LPCSTR name) { return LoadResource(instance, name, eObjectKind::Bitmap); }

// As on Windows, an icon of the resources is loaded once and shared by every later load.
HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  static std::mutex* lock = new std::mutex;
  static auto* icons = new std::map<std::tuple<HINSTANCE, WORD, LANGID>, HGDIOBJ>;
  if (!IS_INTRESOURCE(name)) return nullptr;
  std::lock_guard<std::mutex> guard(*lock);
  HGDIOBJ& icon = (*icons)[std::make_tuple(instance, LOWORD(name), GetUserDefaultUILanguage())];
  if (!icon && (icon = LoadResource(instance, name, eObjectKind::Icon)))
    ObjectOf(icon)->shared = true;
  return reinterpret_cast<HICON>(icon);
}

namespace ui {

const cUiImage* IconImage(HICON icon) {
  cGdiObject* object = ObjectOf(reinterpret_cast<HGDIOBJ>(icon));
  return object && object->kind == eObjectKind::Icon ? &object->image : nullptr;
}

size_t GdiObjectCount() {
  std::lock_guard<std::mutex> lock(ObjectLock());
  return Objects().size();
}

int IconResourceId(HICON icon) {
  cGdiObject* object = ObjectOf(reinterpret_cast<HGDIOBJ>(icon));
  return object && object->kind == eObjectKind::Icon ? object->resourceId : 0;
}

bool WindowImage(HWND handle, int& width, int& height, std::vector<uint32_t>& pixels) {
  cUiWindow* window = cUiCore::Get().Find(handle);
  if (!window || !window->TopLevel()) return false;
  width = window->image.width;
  height = window->image.height;
  pixels = window->image.pixels;
  return true;
}

}  // namespace ui
