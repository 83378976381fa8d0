// The tray program: one per user session, started by the service with "admin"; started with no
// argument (or one that begins with 'u') it asks the service to start it everywhere, or brings
// up the window of the instance that runs.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Varlo/MsgClient.h"
#include "Varlo/TrayLog.h"
#include "Varlo/TrayMessages.h"
#include "Varlo/TrayResources.h"
#include "Varlo/VarloWnd.h"
#include "Varlo/ui/UiResources.h"
#include "Varlo/ui/UiWindows.h"
#include "platform/Mailslot.h"

namespace {

cVarloWnd* g_VarloWnd = nullptr;

// The window object lives until the process ends and is taken down by the runtime's exit list.
void DestroyWindowObject() {
  delete g_VarloWnd;
  g_VarloWnd = nullptr;
}

const bool g_WindowObjectBuilt = [] {
  g_VarloWnd = new cVarloWnd;
  std::atexit(DestroyWindowObject);
  return true;
}();

}  // namespace

int WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR commandLine, int) {
  char title[100];
  LoadStringA(hInstance, IDS_TITLE, title, sizeof title);
  InitLog(title);
  std::string argument = commandLine ? commandLine : "";
  if (HWND running = FindWindowA("VarloWnd", "VARLO")) {
    if (!argument.empty()) {
      TRAY_LOG(kLogVarlo, warn, "Duplicated!!! FindWindow(VarloWnd)={:}",
               static_cast<void*>(running));
    } else {
      PostMessageA(running, WM_COMMAND, IDM_OPEN, 0);
    }
    return 0;
  }
  if (argument.empty() || argument[0] == 'u') {
    HANDLE slot = INVALID_HANDLE_VALUE;
    if (OpenServiceSlot(slot) != 0) return -2;
    const uint8_t request[] = {MSG_UI_USER, kUserStartEverywhere, 0};
    DWORD written = 0;
    WriteFile(slot, request, sizeof request, &written, nullptr);
    CloseHandle(slot);
    return 0;
  }
  cVarloWnd& object = *g_VarloWnd;
  object.m_OpenRequested = 0;
  WNDCLASSEXA windowClass;
  GetClassInfoExA(nullptr, "#32770", &windowClass);
  windowClass.lpszClassName = "VarloWnd";
  RegisterClassExA(&windowClass);
  object.m_hInstance = hInstance;
  // Allowed before the dialog exists: a second start may post its command as soon as it finds the
  // window, which is while the dialog is still being set up.
  ChangeWindowMessageFilter(WM_COMMAND, MSGFLT_ADD);
  HWND window = CreateDialogParamA(hInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, &cVarloWnd::DlgProc,
                                   reinterpret_cast<LPARAM>(&object));
  if (!window) return -1;
  object.m_hWnd = window;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

int main(int argc, char** argv) {
  // The argument text without the program name, as Windows hands it to WinMain.
  std::string commandLine;
  for (int index = 1; index < argc; index++) {
    if (index > 1) commandLine += ' ';
    commandLine += argv[index];
  }
  UiConnectDisplay();
  int exitCode = WinMain(TrayInstance(), nullptr, commandLine.data(), SW_SHOWNORMAL);
  UiDisconnectDisplay();
  return exitCode;
}
