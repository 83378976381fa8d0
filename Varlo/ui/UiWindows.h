#pragma once
// Windows, dialogs, messages and timers in the shape of the Win32 user interface. Everything runs
// on the thread that created the windows; PostMessageA may be called from any thread and reaches
// windows of other processes for the messages those processes let through. Top-level windows are
// listed per user session under the machine root, so FindWindowA sees the windows of every process
// of the caller's session.
// Without a display (UiConnectDisplay not called or failed) windows still exist, take messages and
// run their procedures; nothing is drawn and no input arrives but what is posted.
#include "Varlo/ui/UiTypes.h"

// A copy of a window class: only the name and, for dialogs, the dialog procedure's host matter.
struct WNDCLASSEXA {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  void* hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
  HICON hIconSm;
};
// "#32770" is the dialog class; a copy of it registered under another name serves dialogs too.
BOOL GetClassInfoExA(HINSTANCE instance, LPCSTR className, WNDCLASSEXA* info);
WORD RegisterClassExA(const WNDCLASSEXA* info);

// Dialogs from the dialog templates of the instance's resources (UiResources.h).
HWND CreateDialogParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM param);
// Runs the dialog modally (the owner takes no input meanwhile) until EndDialog; -1 without template.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param);
BOOL EndDialog(HWND dialog, INT_PTR result);

// Child controls of the classes "static" and "edit".
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR text, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menuOrId, HINSTANCE instance, void* param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);

// A top-level window of this or another process of the same session by class and title (both
// compared without regard to case; a null name matches any).
HWND FindWindowA(LPCSTR className, LPCSTR windowName);

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Waits for the next message of the thread; FALSE (0) for WM_QUIT.
BOOL GetMessageA(MSG* message, HWND window, UINT filterMin, UINT filterMax);
// Takes the next message without waiting (PM_REMOVE); FALSE when none is there.
BOOL PeekMessageA(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL TranslateMessage(const MSG* message);
LRESULT DispatchMessageA(const MSG* message);
// Lets a message from another process through to this process's windows.
BOOL ChangeWindowMessageFilter(UINT message, DWORD action);

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT periodMs, void* callback);
BOOL KillTimer(HWND window, UINT_PTR id);

BOOL ShowWindow(HWND window, int command);
BOOL IsWindowVisible(HWND window);
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags);
BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
// Client rectangle for children, screen rectangle for top-level windows.
BOOL GetWindowRect(HWND window, RECT* rect);
BOOL SetWindowTextA(HWND window, LPCSTR text);
int GetWindowTextA(HWND window, LPSTR buffer, int size);
int GetWindowTextLengthA(HWND window);
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrA(HWND window, int index);
BOOL SetForegroundWindow(HWND window);
BOOL ReleaseCapture();
int GetSystemMetrics(int index);
// Right and bottom edges are outside.
BOOL PtInRect(const RECT* rect, POINT point);
BOOL GetCursorPos(POINT* point);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

HMENU CreatePopupMenu();
BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text);
// Shows the menu at (x, y); the chosen item is posted to the owner as WM_COMMAND.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT* unused);
BOOL DestroyMenu(HMENU menu);

// Opens the display named by DISPLAY; false when there is none (windows then stay headless).
bool UiConnectDisplay();
// Closes it again (windows stay, headless), so that the font library lets go of its memory too.
void UiDisconnectDisplay();
