#pragma once
// The modal login dialog: one edit field for the account key and three click areas.
#include <string>

#include "Varlo/ui/UiTypes.h"

class cLoginDlg {
 public:
  // Dialog results.
  static constexpr INT_PTR kSignedIn = 1;
  static constexpr INT_PTR kClosed = 2;

  ~cLoginDlg() { m_Key.clear(); }

  static INT_PTR DlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

  HWND m_hOwner = nullptr;
  HINSTANCE m_hInstance = nullptr;  // the owner's module, for the background bitmap
  HWND m_hDlg = nullptr;  // set while the dialog exists
  HBITMAP m_hBackground = nullptr;
  RECT m_CloseButton{};
  RECT m_LoginButton{};
  RECT m_Link{};
  HWND m_hEdit = nullptr;
  std::string m_Key;

 private:
  void OnInitDialog(HWND dialog);
  // False when the click hit nothing.
  bool OnLButtonUp(int x, int y);
  void ShowError();
  void Paint();
};
