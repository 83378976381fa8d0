#include "platform/Shutdown.h"

#include <sstream>
#include <string>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Handles.h"

namespace {

// The process token; it holds every privilege that the test's deny list does not name.
class cToken : public platform::cKernelObject {};

HANDLE const currentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

bool PrivilegeDenied(const std::string& name) {
  std::string text;
  if (!platform::ReadWholeFile(platform::StateFolder() + "/denied-privileges", text)) return false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line == name) return true;
  }
  return false;
}

}  // namespace

HANDLE GetCurrentProcess() { return currentProcess; }

BOOL OpenProcessToken(HANDLE process, DWORD, HANDLE* token) {
  if (process != currentProcess || !token) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = platform::RegisterHandle(std::make_shared<cToken>());
  return TRUE;
}

BOOL EnableTokenPrivilege(HANDLE token, LPCSTR privilegeName) {
  if (!platform::LookupHandleAs<cToken>(token)) return FALSE;
  SetLastError(privilegeName && !PrivilegeDenied(privilegeName) ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
  std::string folder = platform::StateFolder();
  if (platform::FileExists(folder + "/shutdown-fails")) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  char line[96];
  std::snprintf(line, sizeof line, "%lld flags=0x%x reason=0x%x\n", static_cast<long long>(platform::Clock().Now()),
                flags, reason);
  FILE* log = platform::CreateFolders(folder) ? platform::OpenFile(folder + "/shutdown.log", "ab") : nullptr;
  if (!log) return FALSE;
  bool written = std::fputs(line, log) >= 0;
  if (std::fclose(log) != 0 || !written) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}
