#pragma once
// The X display behind the window system: one X window per visible top-level window, showing its
// client image with the child controls' texts drawn over it (Xft), and X input turned into window
// messages.
#include <functional>
#include <map>
#include <memory>

#include "Varlo/ui/UiCore.h"

namespace ui {

class cUiDisplay {
 public:
  // Null when no display can be opened.
  static std::unique_ptr<cUiDisplay> Open();
  ~cUiDisplay();
  cUiDisplay(const cUiDisplay&) = delete;
  cUiDisplay& operator=(const cUiDisplay&) = delete;

  int Fd() const;
  int ScreenWidth() const;
  int ScreenHeight() const;
  POINT Cursor() const;

  void Show(cUiWindow& window);
  void Hide(cUiWindow& window);
  void Forget(cUiWindow& window);
  void Move(cUiWindow& window);
  void SetTitle(cUiWindow& window);
  void Raise(cUiWindow& window);
  // Puts the image of the rectangle and the texts of the children over it on the screen.
  void Present(cUiWindow& window, const RECT& area);
  // Turns every waiting X event into posted messages (or into repaints).
  void Pump();

 private:
  struct cState;
  explicit cUiDisplay(std::unique_ptr<cState> state);
  std::unique_ptr<cState> m_State;
};

}  // namespace ui
