#include "Varlo/ui/UiDisplay.h"

#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Varlo/ui/UiWindows.h"

namespace ui {

namespace {

constexpr char kFontPattern[] = "Noto Sans CJK JP:pixelsize=13";
constexpr long kDoubleClickMs = 400;
constexpr int kDoubleClickDistance = 2;
constexpr uint32_t kBoxBackground = 0xF0F0F0;
constexpr uint32_t kBoxCaption = 0x3A5A80;
constexpr uint32_t kFrame = 0x808080;
constexpr uint32_t kMenuHot = 0xCCE8FF;
constexpr uint32_t kErrorRed = 0xD83B30;

uint32_t ToPixel(COLORREF colour) {
  return static_cast<uint32_t>(GetRValue(colour) << 16 | GetGValue(colour) << 8 | GetBValue(colour));
}

void Fill(cUiImage& image, const RECT& rect, uint32_t pixel) {
  for (int y = std::max<LONG>(rect.top, 0); y < std::min<LONG>(rect.bottom, image.height); y++) {
    for (int x = std::max<LONG>(rect.left, 0); x < std::min<LONG>(rect.right, image.width); x++) {
      image.pixels[static_cast<size_t>(y) * image.width + x] = pixel;
    }
  }
}

void Frame(cUiImage& image, const RECT& rect, uint32_t pixel) {
  Fill(image, RECT{rect.left, rect.top, rect.right, rect.top + 1}, pixel);
  Fill(image, RECT{rect.left, rect.bottom - 1, rect.right, rect.bottom}, pixel);
  Fill(image, RECT{rect.left, rect.top, rect.left + 1, rect.bottom}, pixel);
  Fill(image, RECT{rect.right - 1, rect.top, rect.right, rect.bottom}, pixel);
}

// A red disc with a white cross in the square; nothing for an empty one.
void ErrorIcon(cUiImage& image, const RECT& square) {
  int size = square.right - square.left;
  for (int y = 0; y < size; y++) {
    for (int x = 0; x < size; x++) {
      int dx = 2 * x + 1 - size;
      int dy = 2 * y + 1 - size;
      if (dx * dx + dy * dy > size * size) continue;
      bool cross = std::abs(dx) < size / 2 && (std::abs(dx - dy) <= 3 || std::abs(dx + dy) <= 3);
      Fill(image, RECT{square.left + x, square.top + y, square.left + x + 1, square.top + y + 1},
           cross ? 0xFFFFFF : kErrorRed);
    }
  }
}

}  // namespace

struct cUiDisplay::cState {
  Display* display = nullptr;
  int screen = 0;
  Visual* visual = nullptr;
  Colormap colormap = 0;
  XftFont* font = nullptr;
  Atom deleteWindow = 0;
  std::map<HWND, Window> natives;
  std::map<Window, HWND> handles;
  std::map<HWND, HWND> focus;  // top-level window to its focused edit field
  HWND lastPress = nullptr;
  POINT lastPressAt{};
  std::chrono::steady_clock::time_point lastPressTime;

  ~cState() {
    if (font) XftFontClose(display, font);
    if (display) XCloseDisplay(display);
    FcFini();
  }

  Window NativeOf(const cUiWindow& window) const {
    auto found = natives.find(window.handle);
    return found == natives.end() ? 0 : found->second;
  }

  void DrawText(XftDraw* draw, const std::string& text, const RECT& clip, int x, int y, COLORREF colour) {
    if (text.empty()) return;
    XRenderColor render{static_cast<unsigned short>(GetRValue(colour) * 257),
                        static_cast<unsigned short>(GetGValue(colour) * 257),
                        static_cast<unsigned short>(GetBValue(colour) * 257), 0xFFFF};
    XftColor xftColour;
    XftColorAllocValue(display, visual, colormap, &render, &xftColour);
    XRectangle area{static_cast<short>(clip.left), static_cast<short>(clip.top),
                    static_cast<unsigned short>(std::max<LONG>(clip.right - clip.left, 0)),
                    static_cast<unsigned short>(std::max<LONG>(clip.bottom - clip.top, 0))};
    XftDrawSetClipRectangles(draw, 0, 0, &area, 1);
    XftDrawStringUtf8(draw, &xftColour, font, x, y, reinterpret_cast<const FcChar8*>(text.data()),
                      static_cast<int>(text.size()));
    XftColorFree(display, visual, colormap, &xftColour);
  }

  int TextWidth(const std::string& text) {
    XGlyphInfo extents;
    XftTextExtentsUtf8(display, font, reinterpret_cast<const FcChar8*>(text.data()), static_cast<int>(text.size()),
                       &extents);
    return extents.xOff;
  }

  // The window system's own windows have no procedure that paints them: their image is made here.
  void PaintOwn(cUiWindow& window) {
    cUiImage& image = window.image;
    image.Resize(window.Width(), window.Height());
    RECT all{0, 0, window.Width(), window.Height()};
    if (window.kind == eWindowKind::MessageBox) {
      Fill(image, all, kBoxBackground);
      Fill(image, RECT{0, 0, all.right, 28}, kBoxCaption);
      for (int button = 0; button < MessageBoxButtonCount(window); button++) {
        RECT rect = MessageBoxButton(window, button);
        Fill(image, rect, 0xFFFFFF);
        Frame(image, rect, kFrame);
      }
      ErrorIcon(image, MessageBoxIcon(window));
      Frame(image, all, kFrame);
    } else if (window.kind == eWindowKind::Menu) {
      Fill(image, all, 0xF8F8F8);
      for (size_t item = 0; item < window.items.size(); item++) {
        RECT rect = MenuItemRect(window, static_cast<int>(item));
        if (window.items[item].text.empty()) {
          int middle = (rect.top + rect.bottom) / 2;
          Fill(image, RECT{rect.left + 4, middle, rect.right - 4, middle + 1}, 0xC0C0C0);
        } else if (static_cast<int>(item) == window.hotItem) {
          Fill(image, rect, kMenuHot);
        }
      }
      Frame(image, all, kFrame);
    } else if (window.kind == eWindowKind::NotifyIcon) {
      Fill(image, all, 0x202020);
      if (const cUiImage* icon = IconImage(window.icon)) {
        for (int y = 0; y < std::min(icon->height, image.height); y++) {
          for (int x = 0; x < std::min(icon->width, image.width); x++) {
            image.pixels[static_cast<size_t>(y) * image.width + x] = icon->pixels[static_cast<size_t>(y) * icon->width + x];
          }
        }
      }
    }
  }

  void DrawOwnTexts(cUiWindow& window, XftDraw* draw) {
    RECT all{0, 0, window.Width(), window.Height()};
    int ascent = font->ascent;
    if (window.kind == eWindowKind::MessageBox) {
      DrawText(draw, window.caption, all, 10, 6 + ascent, RGB(255, 255, 255));
      DrawText(draw, window.text, all, MessageBoxTextLeft(window), 50 + ascent, RGB(0, 0, 0));
      for (int button = 0; button < MessageBoxButtonCount(window); button++) {
        RECT rect = MessageBoxButton(window, button);
        std::string label = MessageBoxButtonText(window, button);
        int x = (rect.left + rect.right - TextWidth(label)) / 2;
        DrawText(draw, label, rect, x, (rect.top + rect.bottom + ascent) / 2 - 1, RGB(0, 0, 0));
      }
    } else if (window.kind == eWindowKind::Menu) {
      for (size_t item = 0; item < window.items.size(); item++) {
        RECT rect = MenuItemRect(window, static_cast<int>(item));
        DrawText(draw, window.items[item].text, rect, rect.left + 14, (rect.top + rect.bottom + ascent) / 2 - 1,
                 RGB(0, 0, 0));
      }
    }
  }

  // Only within the area that was put on the screen again: a transparent text drawn twice over
  // itself would darken.
  void DrawControls(cUiCore& core, cUiWindow& window, XftDraw* draw, Drawable native, const RECT& area) {
    GC gc = XCreateGC(display, native, 0, nullptr);
    for (HWND child : window.children) {
      cUiWindow* control = core.Find(child);
      if (!control || !control->visible) continue;
      const RECT& rect = control->rect;
      if (rect.right <= area.left || rect.left >= area.right || rect.bottom <= area.top || rect.top >= area.bottom) {
        continue;
      }
      int baseline = (rect.top + rect.bottom + font->ascent - font->descent) / 2;
      if (control->kind == eWindowKind::Static) {
        if (!control->transparent) {
          XSetForeground(display, gc, ToPixel(control->backColour));
          XFillRectangle(display, native, gc, rect.left, rect.top, control->Width(), control->Height());
        }
        RECT clip{std::max(rect.left, area.left), std::max(rect.top, area.top), std::min(rect.right, area.right),
                  std::min(rect.bottom, area.bottom)};
        DrawText(draw, control->text, clip, rect.left, baseline, control->textColour);
      } else if (control->kind == eWindowKind::Edit) {
        XSetForeground(display, gc, 0xFFFFFF);
        XFillRectangle(display, native, gc, rect.left, rect.top, control->Width(), control->Height());
        int width = TextWidth(control->text);
        int scroll = std::max(0, width - (control->Width() - 8));  // automatic horizontal scrolling
        DrawText(draw, control->text, rect, rect.left + 4 - scroll, baseline, RGB(0x20, 0x20, 0x20));
        if (focus[window.handle] == child) {
          XSetForeground(display, gc, 0x202020);
          int caret = rect.left + 4 + width - scroll;
          XFillRectangle(display, native, gc, caret, rect.top + 5, 1, std::max(control->Height() - 10, 1));
        }
      }
    }
    XFreeGC(display, gc);
  }

  HWND ChildAt(cUiCore& core, cUiWindow& window, int x, int y, eWindowKind kind) {
    for (HWND child : window.children) {
      cUiWindow* control = core.Find(child);
      if (control && control->visible && control->kind == kind && x >= control->rect.left &&
          x < control->rect.right && y >= control->rect.top && y < control->rect.bottom) {
        return child;
      }
    }
    return nullptr;
  }

  HWND FirstEdit(cUiCore& core, cUiWindow& window) {
    for (HWND child : window.children) {
      cUiWindow* control = core.Find(child);
      if (control && control->kind == eWindowKind::Edit) return child;
    }
    return nullptr;
  }

  // Input goes into the queue with the pointer's screen position, in the order it came, so that a
  // window moved by the pointer (cUiCore::RunMove) sees every motion and release after the press.
  static void PostInput(HWND window, UINT message, LPARAM position, int rootX, int rootY) {
    cUiCore::Get().Post(MSG{window, message, 0, position, 0, POINT{rootX, rootY}});
  }

  // A second press on the same window, near the first and soon after it, is a double click.
  bool DoubleClick(HWND window, const XButtonEvent& event) {
    auto now = std::chrono::steady_clock::now();
    bool twice =
        lastPress == window && std::abs(event.x_root - lastPressAt.x) <= kDoubleClickDistance &&
        std::abs(event.y_root - lastPressAt.y) <= kDoubleClickDistance &&
        std::chrono::duration_cast<std::chrono::milliseconds>(now - lastPressTime).count() <
            kDoubleClickMs;
    lastPress = twice ? nullptr : window;
    lastPressAt = POINT{event.x_root, event.y_root};
    lastPressTime = now;
    return twice;
  }

  void Button(cUiCore& core, const XButtonEvent& event, bool press) {
    auto found = handles.find(event.window);
    if (found == handles.end()) return;
    cUiWindow* window = core.Find(found->second);
    if (!window) return;
    // Menus take every click, also outside them; other windows none while a modal window runs.
    if (window->kind != eWindowKind::Menu && core.InputBlocked(*window)) return;
    UINT message = 0;
    if (event.button == Button1) {
      message = press ? WM_LBUTTONDOWN : WM_LBUTTONUP;
      if (press) {
        if (DoubleClick(window->handle, event)) message = WM_LBUTTONDBLCLK;
        if (HWND edit = ChildAt(core, *window, event.x, event.y, eWindowKind::Edit)) {
          focus[window->handle] = edit;
          core.Invalidate(*window, nullptr);
        }
      }
    } else if (event.button == Button3) {
      message = press ? WM_RBUTTONDOWN : WM_RBUTTONUP;
    }
    if (message)
      PostInput(window->handle, message, MAKELPARAM(event.x, event.y), event.x_root, event.y_root);
  }

  void Key(cUiCore& core, XKeyEvent& event) {
    auto found = handles.find(event.window);
    if (found == handles.end()) return;
    cUiWindow* window = core.Find(found->second);
    if (!window || (window->kind != eWindowKind::Menu && core.InputBlocked(*window))) return;
    char text[32] = {};
    KeySym symbol = 0;
    int length = XLookupString(&event, text, sizeof text - 1, &symbol, nullptr);
    HWND edit = focus.count(window->handle) ? focus[window->handle] : FirstEdit(core, *window);
    if (symbol == XK_Return || symbol == XK_KP_Enter) {
      PostMessageA(window->handle, WM_KEYDOWN, 0x0D, 0);
    } else if (symbol == XK_Escape) {
      PostMessageA(window->handle, WM_KEYDOWN, 0x1B, 0);
    } else if (edit && symbol == XK_BackSpace) {
      PostMessageA(edit, WM_CHAR, 0x08, 0);
    } else if (edit) {
      for (int index = 0; index < length; index++) {
        PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(text[index]), 0);
      }
    }
  }

  void Motion(cUiCore& core, const XMotionEvent& event) {
    auto found = handles.find(event.window);
    if (found == handles.end()) return;
    cUiWindow* window = core.Find(found->second);
    if (!window || (window->kind != eWindowKind::Menu && core.InputBlocked(*window))) return;
    PostInput(window->handle, WM_MOUSEMOVE, MAKELPARAM(event.x, event.y), event.x_root,
              event.y_root);
  }
};

cUiDisplay::cUiDisplay(std::unique_ptr<cState> state) : m_State(std::move(state)) {}

cUiDisplay::~cUiDisplay() = default;

std::unique_ptr<cUiDisplay> cUiDisplay::Open() {
  auto state = std::make_unique<cState>();
  state->display = XOpenDisplay(nullptr);
  if (!state->display) return nullptr;
  state->screen = DefaultScreen(state->display);
  state->visual = DefaultVisual(state->display, state->screen);
  state->colormap = DefaultColormap(state->display, state->screen);
  state->font = XftFontOpenName(state->display, state->screen, kFontPattern);
  if (!state->font) return nullptr;
  state->deleteWindow = XInternAtom(state->display, "WM_DELETE_WINDOW", False);
  return std::unique_ptr<cUiDisplay>(new cUiDisplay(std::move(state)));
}

int cUiDisplay::Fd() const { return ConnectionNumber(m_State->display); }
int cUiDisplay::ScreenWidth() const { return DisplayWidth(m_State->display, m_State->screen); }
int cUiDisplay::ScreenHeight() const { return DisplayHeight(m_State->display, m_State->screen); }

POINT cUiDisplay::Cursor() const {
  Window root, child;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned int mask = 0;
  XQueryPointer(m_State->display, RootWindow(m_State->display, m_State->screen), &root, &child, &rootX, &rootY, &x,
                &y, &mask);
  return POINT{rootX, rootY};
}

void cUiDisplay::Show(cUiWindow& window) {
  cState& state = *m_State;
  Window native = state.NativeOf(window);
  if (!native) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = window.kind == eWindowKind::Menu || window.kind == eWindowKind::NotifyIcon;
    attributes.background_pixel = 0xFFFFFF;
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            StructureNotifyMask;
    native = XCreateWindow(state.display, RootWindow(state.display, state.screen), window.rect.left, window.rect.top,
                           std::max(window.Width(), 1), std::max(window.Height(), 1), 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    state.natives[window.handle] = native;
    state.handles[native] = window.handle;
    XSetWMProtocols(state.display, native, &state.deleteWindow, 1);
    XClassHint hint{const_cast<char*>(window.className.c_str()), const_cast<char*>(window.className.c_str())};
    XSetClassHint(state.display, native, &hint);
    SetTitle(window);
  }
  XMapRaised(state.display, native);
  XMoveWindow(state.display, native, window.rect.left, window.rect.top);
  if (window.kind == eWindowKind::Menu) {
    XSync(state.display, False);
    XGrabPointer(state.display, native, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                 GrabModeAsync, None, None, CurrentTime);
    XGrabKeyboard(state.display, native, False, GrabModeAsync, GrabModeAsync, CurrentTime);
  }
  XFlush(state.display);
}

void cUiDisplay::Hide(cUiWindow& window) {
  if (Window native = m_State->NativeOf(window)) {
    if (window.kind == eWindowKind::Menu) {
      XUngrabPointer(m_State->display, CurrentTime);
      XUngrabKeyboard(m_State->display, CurrentTime);
    }
    XUnmapWindow(m_State->display, native);
    XFlush(m_State->display);
  }
}

void cUiDisplay::Forget(cUiWindow& window) {
  cState& state = *m_State;
  if (Window native = state.NativeOf(window)) {
    XDestroyWindow(state.display, native);
    state.handles.erase(native);
    state.natives.erase(window.handle);
    XFlush(state.display);
  }
  state.focus.erase(window.handle);
}

void cUiDisplay::Move(cUiWindow& window) {
  if (Window native = m_State->NativeOf(window)) {
    XMoveResizeWindow(m_State->display, native, window.rect.left, window.rect.top, std::max(window.Width(), 1),
                      std::max(window.Height(), 1));
    XFlush(m_State->display);
  }
}

void cUiDisplay::SetTitle(cUiWindow& window) {
  if (Window native = m_State->NativeOf(window)) {
    const std::string& title = window.kind == eWindowKind::MessageBox ? window.caption : window.text;
    Xutf8SetWMProperties(m_State->display, native, title.c_str(), title.c_str(), nullptr, 0, nullptr, nullptr,
                         nullptr);
    XFlush(m_State->display);
  }
}

void cUiDisplay::Raise(cUiWindow& window) {
  if (Window native = m_State->NativeOf(window)) {
    XRaiseWindow(m_State->display, native);
    XFlush(m_State->display);
  }
}

void cUiDisplay::Present(cUiWindow& window, const RECT& requested) {
  cState& state = *m_State;
  Window native = state.NativeOf(window);
  if (!native) return;
  if (window.kind != eWindowKind::Dialog) state.PaintOwn(window);
  cUiImage& image = window.image;
  RECT area{std::max<LONG>(requested.left, 0), std::max<LONG>(requested.top, 0),
            std::min<LONG>(requested.right, image.width), std::min<LONG>(requested.bottom, image.height)};
  if (area.right <= area.left || area.bottom <= area.top) return;
  const int depth = DefaultDepth(state.display, state.screen);
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  XImage* picture = XCreateImage(state.display, state.visual, depth, ZPixmap, 0,
                                 reinterpret_cast<char*>(image.pixels.data()), image.width, image.height, 32,
                                 image.width * 4);
  // Drawn aside and put on the screen in one copy, so that no one ever sees the window half drawn:
  // its picture without its texts, or the part of a picture sent so far.
  Pixmap canvas = XCreatePixmap(state.display, native, image.width, image.height, depth);
  GC gc = XCreateGC(state.display, native, 0, nullptr);
  XPutImage(state.display, canvas, gc, picture, area.left, area.top, area.left, area.top, width, height);
  picture->data = nullptr;  // the pixels belong to the window
  XDestroyImage(picture);
  XftDraw* draw = XftDrawCreate(state.display, canvas, state.visual, state.colormap);
  if (window.kind == eWindowKind::Dialog) {
    state.DrawControls(cUiCore::Get(), window, draw, canvas, area);
  } else {
    state.DrawOwnTexts(window, draw);
  }
  XftDrawDestroy(draw);
  XCopyArea(state.display, canvas, native, gc, area.left, area.top, width, height, area.left, area.top);
  XFreeGC(state.display, gc);
  XFreePixmap(state.display, canvas);
  XFlush(state.display);
}

void cUiDisplay::Pump() {
  cState& state = *m_State;
  cUiCore& core = cUiCore::Get();
  while (XPending(state.display)) {
    XEvent event;
    XNextEvent(state.display, &event);
    auto found = state.handles.find(event.xany.window);
    cUiWindow* window = found == state.handles.end() ? nullptr : core.Find(found->second);
    switch (event.type) {
      case Expose:
        if (window) {
          RECT area{event.xexpose.x, event.xexpose.y, event.xexpose.x + event.xexpose.width,
                    event.xexpose.y + event.xexpose.height};
          core.Invalidate(*window, &area);
        }
        break;
      case ButtonPress:
      case ButtonRelease:
        state.Button(core, event.xbutton, event.type == ButtonPress);
        break;
      case MotionNotify:
        state.Motion(core, event.xmotion);
        break;
      case KeyPress:
        state.Key(core, event.xkey);
        break;
      case ClientMessage:
        if (window && static_cast<Atom>(event.xclient.data.l[0]) == state.deleteWindow && !core.InputBlocked(*window)) {
          PostMessageA(window->handle, WM_CLOSE, 0, 0);
        }
        break;
      default:
        break;
    }
  }
}

}  // namespace ui
