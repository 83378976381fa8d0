#pragma once
// A machine root with a fake service slot, and the tray's window object made as the program
// makes it, without a display: messages are pumped by the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Varlo/VarloWnd.h"
#include "Varlo/ui/UiTestHooks.h"
#include "platform/Process.h"
#include "platform/Sessions.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/WaitUntil.h"

using cBytes = std::vector<uint8_t>;

// The service's read end, as the service creates it.
class cFakeServiceSlot {
 public:
  cFakeServiceSlot();
  ~cFakeServiceSlot();
  // The next message, empty when none arrives in time.
  cBytes Next(DWORD timeoutMs = kLongWaitMs);
  // Every message until the slot stays quiet for quietMs.
  std::vector<cBytes> Drain(DWORD quietMs = 100);

 private:
  HANDLE m_Slot;
};

// The service's status message: code, status, the address text and its NUL.
cBytes StatusMessage(int status, const std::string& text);

// Writes one message to the tray slot of the digit, as the service does.
bool SendToTray(int digit, const cBytes& message);

// The user's Internet settings, under HKEY_CURRENT_USER.
constexpr char kInternetSettings[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
// The agent's "Proxy" as the administrator stores it, whatever its length.
void StoreAgentProxy(const std::string& proxy);
// The user's Internet proxy, as the user's Internet settings keep it.
void SetUserProxy(uint32_t enabled, const char* server, const char* bypass);

// Runs the window thread until the condition holds; false when it did not within timeoutMs. The
// observer sees each message before it is dispatched.
bool PumpUntil(const std::function<bool()>& condition, int timeoutMs = kLongWaitMs,
               const std::function<void(const MSG&)>& observer = {});
// The login dialog once it runs on the window thread (any thread may wait); null when it does not.
HWND WaitForLoginDialog();
// Runs every message that is waiting now.
void PumpPending();

// The tray program itself, started with an argument text, in the session given as the service
// starts it (else in the test's own); ended at destruction if it still runs.
class cTrayProgram {
 public:
  explicit cTrayProgram(const std::string& argument,
                        const platform::cSessionInfo* session = nullptr);
  ~cTrayProgram();
  // The exit code as a byte, as the host keeps it; -1 when it did not end in time.
  int ExitCode(DWORD timeoutMs = kLongWaitMs);

 private:
  platform::cProcess m_Process;
  bool m_Started = false;
};

class TrayWindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the main dialog as the program does; false when it could not be made.
  bool CreateWindow();
  HWND Window() const { return m_Wnd->m_hWnd.load(); }
  std::string Text(int index) const;
  // Posts a left click (press and release) at client coordinates of the window.
  void Click(int x, int y) const;
  int TrayIcon() const { return ui::NotifyIconResource(Window(), 0); }

  cTempMachineRoot m_Root;
  std::unique_ptr<cFakeServiceSlot> m_Service;
  std::unique_ptr<cVarloWnd> m_Wnd;
  std::vector<ui::cMessageBoxRequest> m_Boxes;
  int m_BoxAnswer = IDOK;
};
