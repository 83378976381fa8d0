#include "Varlo/LoginDlg.h"

#include <vector>

#include "Varlo/DragBand.h"
#include "Varlo/TrayMessages.h"
#include "Varlo/ui/UiGdi.h"
#include "Varlo/ui/UiResources.h"
#include "Varlo/ui/UiShell.h"
#include "Varlo/ui/UiWindows.h"

namespace {

constexpr int kWidth = 400;
constexpr int kHeight = 310;
constexpr int kDragBand = 100;
constexpr DWORD kEditStyle = 0x50010080;
constexpr char kVendorSite[] = "https://www.varlo.test/";

cLoginDlg* RecordOf(HWND dialog) { return reinterpret_cast<cLoginDlg*>(GetWindowLongPtrA(dialog, GWLP_USERDATA)); }

}  // namespace

INT_PTR cLoginDlg::DlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* login = reinterpret_cast<cLoginDlg*>(lParam);
    SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
    login->OnInitDialog(dialog);
    return 1;
  }
  cLoginDlg* login = RecordOf(dialog);
  if (!login) return 0;
  switch (message) {
    case WM_PAINT:
      login->Paint();
      return 1;
    case WM_LBUTTONDOWN:
      DragInBand(dialog, lParam, kDragBand, {&login->m_CloseButton});
      return 1;
    case WM_LBUTTONUP:
      return login->OnLButtonUp(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)) ? 1 : 0;
    case WM_CLOSE:
      EndDialog(dialog, kClosed);
      return 1;
    case WM_LOGIN_RESULT:
      if (wParam == kLoginShowError) login->ShowError();
      if (wParam == kLoginSucceeded) EndDialog(dialog, kSignedIn);
      if (wParam == kLoginCancelled) EndDialog(dialog, kClosed);
      return 1;
    case WM_DESTROY:
      if (login->m_hBackground) DeleteObject(login->m_hBackground);
      login->m_hBackground = nullptr;
      login->m_hDlg = nullptr;
      login->m_hEdit = nullptr;
      return 1;
    default:
      return 0;
  }
}

void cLoginDlg::OnInitDialog(HWND dialog) {
  m_hDlg = dialog;
  SetWindowTextA(dialog, "VARLO Login");
  m_hBackground = LoadBitmapA(m_hInstance, MAKEINTRESOURCEA(IDB_LOGIN));
  m_CloseButton = RECT{356, 25, 375, 44};
  m_LoginButton = RECT{74, 164, 326, 204};
  m_Link = RECT{76, 238, 324, 256};
  m_hEdit = CreateWindowExA(0, "edit", m_Key.empty() ? nullptr : m_Key.c_str(), kEditStyle, 78, 126, 244, 27, dialog,
                            reinterpret_cast<HMENU>(static_cast<intptr_t>(-1)), m_hInstance, nullptr);
  if (m_hEdit && !m_Key.empty()) PostMessageA(m_hEdit, EM_SETSEL, 0, 0);
  int left = (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
  int top = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
  SetWindowPos(dialog, HWND_TOPMOST, left, top, kWidth, kHeight, SWP_SHOWWINDOW);
  SetWindowPos(dialog, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

bool cLoginDlg::OnLButtonUp(int x, int y) {
  if (PtInRect(&m_CloseButton, POINT{x, y})) {
    EndDialog(m_hDlg, kClosed);
  } else if (PtInRect(&m_LoginButton, POINT{x, y})) {
    std::vector<char> text(static_cast<size_t>(GetWindowTextLengthA(m_hEdit)) + 1);
    GetWindowTextA(m_hEdit, text.data(), static_cast<int>(text.size()));
    m_Key = text.data();
    PostMessageA(m_hOwner, WM_LOGIN_KEY, 0, 0);
  } else if (PtInRect(&m_Link, POINT{x, y})) {
    ShellExecuteA(m_hDlg, "open", kVendorSite, nullptr, nullptr, SW_SHOWNORMAL);
  } else {
    return false;
  }
  return true;
}

void cLoginDlg::ShowError() {
  char caption[20];
  char text[80];
  LoadStringA(m_hInstance, IDS_LOGIN_FAILED_CAPTION, caption, sizeof caption);
  LoadStringA(m_hInstance, IDS_LOGIN_FAILED, text, sizeof text);
  MessageBoxA(m_hDlg, text, caption, MB_OK);
}

void cLoginDlg::Paint() {
  PAINTSTRUCT paint;
  HDC target = BeginPaint(m_hDlg, &paint);
  HDC memory = CreateCompatibleDC(target);
  HGDIOBJ previous = SelectObject(memory, m_hBackground);
  BitBlt(target, 0, 0, kWidth, kHeight, memory, 0, 0, SRCCOPY);
  SelectObject(memory, previous);
  DeleteDC(memory);
  EndPaint(m_hDlg, &paint);
}
