#include "tests/tray/TrayFixture.h"

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <string>
#include <thread>

#include "Varlo/TrayMessages.h"
#include "Varlo/TrayResources.h"
#include "Varlo/ui/UiWindows.h"
#include "common/Nvm.h"
#include "platform/Mailslot.h"
#include "platform/Registry.h"

cFakeServiceSlot::cFakeServiceSlot() : m_Slot(CreateMailslotA(kServiceSlot, 0, MAILSLOT_WAIT_FOREVER, nullptr)) {}

cFakeServiceSlot::~cFakeServiceSlot() {
  if (m_Slot != INVALID_HANDLE_VALUE) CloseHandle(m_Slot);
}

cBytes cFakeServiceSlot::Next(DWORD timeoutMs) {
  SetMailslotInfo(m_Slot, timeoutMs);
  cBytes message(65536);
  DWORD read = 0;
  if (!ReadFile(m_Slot, message.data(), static_cast<DWORD>(message.size()), &read, nullptr)) return {};
  message.resize(read);
  return message;
}

std::vector<cBytes> cFakeServiceSlot::Drain(DWORD quietMs) {
  std::vector<cBytes> messages;
  for (cBytes message = Next(quietMs); !message.empty(); message = Next(quietMs)) messages.push_back(message);
  return messages;
}

void StoreAgentProxy(const std::string& proxy) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "Proxy", 0, REG_SZ, reinterpret_cast<const BYTE*>(proxy.c_str()),
                 static_cast<DWORD>(proxy.size() + 1));
  RegCloseKey(key);
}

void SetUserProxy(uint32_t enabled, const char* server, const char* bypass) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled), sizeof enabled);
  RegSetValueExA(key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server), strlen(server) + 1);
  RegSetValueExA(key, "ProxyOverride", 0, REG_SZ, reinterpret_cast<const BYTE*>(bypass), strlen(bypass) + 1);
  RegCloseKey(key);
}

cBytes StatusMessage(int status, const std::string& text) {
  cBytes message(text.size() + 3, 0);
  message[0] = MSG_SVC_STATUS;
  message[1] = static_cast<uint8_t>(status);
  std::copy(text.begin(), text.end(), message.begin() + 2);
  return message;
}

bool SendToTray(int digit, const cBytes& message) {
  std::string name = std::string(kServiceSlot) + static_cast<char>('0' + digit);
  HANDLE slot = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (slot == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL done = WriteFile(slot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  CloseHandle(slot);
  return done;
}

HWND WaitForLoginDialog() {
  HWND dialog = nullptr;
  WaitUntil(kLongWaitMs,
            [&dialog] { return (dialog = FindWindowA(nullptr, "VARLO Login")) != nullptr; });
  return dialog;
}

void PumpPending() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

bool PumpUntil(const std::function<bool()>& condition, int timeoutMs,
               const std::function<void(const MSG&)>& observer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MSG message;
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (observer) observer(message);
      DispatchMessageA(&message);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

cTrayProgram::cTrayProgram(const std::string& argument, const platform::cSessionInfo* session) {
  platform::cProcessOptions options;
  options.applicationName = VARLO_TRAY_PROGRAM;
  options.commandLine = "Varlo.exe" + (argument.empty() ? "" : " " + argument);
  options.session = session;
  m_Started = m_Process.Start(options) == ERROR_SUCCESS;
}

cTrayProgram::~cTrayProgram() {
  if (m_Started && !m_Process.Wait(0)) m_Process.Terminate(1);
}

int cTrayProgram::ExitCode(DWORD timeoutMs) {
  DWORD code = 0;
  if (!m_Started || !m_Process.Wait(timeoutMs) || !m_Process.GetExitCode(code)) return -1;
  return static_cast<int>(code);
}

void TrayWindowTest::SetUp() {
  setenv("VARLO_UI_LANGUAGE", "en", 1);  // the texts compared are the English ones
  m_Service = std::make_unique<cFakeServiceSlot>();
  m_Wnd = std::make_unique<cVarloWnd>();
  ui::SetNotificationAreaPresent(true);
  ui::SetMessageBoxHandler([this](const ui::cMessageBoxRequest& request) {
    m_Boxes.push_back(request);
    return m_BoxAnswer;
  });
}

void TrayWindowTest::TearDown() {
  if (Window() && IsWindow(Window())) DestroyWindow(Window());
  PumpPending();
  m_Wnd.reset();
  ui::SetMessageBoxHandler({});
  ui::SetPopupMenuHandler({});
  ui::SetNotificationAreaPresent(false);
}

bool TrayWindowTest::CreateWindow() {
  m_Wnd->m_OpenRequested = 0;
  WNDCLASSEXA windowClass;
  GetClassInfoExA(nullptr, "#32770", &windowClass);
  windowClass.lpszClassName = "VarloWnd";
  RegisterClassExA(&windowClass);
  m_Wnd->m_hInstance = TrayInstance();
  HWND window = CreateDialogParamA(TrayInstance(), MAKEINTRESOURCEA(IDD_MAIN), nullptr, &cVarloWnd::DlgProc,
                                   reinterpret_cast<LPARAM>(m_Wnd.get()));
  return window != nullptr;
}

std::string TrayWindowTest::Text(int index) const {
  char text[256] = {};
  GetWindowTextA(m_Wnd->m_Texts[index].Handle(), text, sizeof text);
  return text;
}

void TrayWindowTest::Click(int x, int y) const {
  PostMessageA(Window(), WM_LBUTTONDOWN, 0, MAKELPARAM(x, y));
  PostMessageA(Window(), WM_LBUTTONUP, 0, MAKELPARAM(x, y));
  PumpPending();
}
