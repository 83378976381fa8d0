#include "Varlo/TraySettings.h"

#include <cstdint>

#include "common/Nvm.h"
#include "platform/Registry.h"

namespace {

constexpr char kInternetSettings[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const char* const kSysmonKeys[] = {"SYSTEM\\CurrentControlSet\\Services\\Sysmon",
                                   "SYSTEM\\CurrentControlSet\\Services\\Sysmon64"};

// A string value up to its first NUL; empty when it cannot be read.
std::string ReadUserString(HKEY key, const char* name) {
  char buffer[cNvm::kStringBufferBytes] = {};
  DWORD size = sizeof buffer - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) != ERROR_SUCCESS) return {};
  return std::string(buffer);
}

}  // namespace

int LoadProxyConfig() {
  std::string proxy;
  std::string bypass;
  HKEY user = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ, &user) == ERROR_SUCCESS) {
    uint32_t enabled = 0;
    DWORD size = sizeof enabled;
    if (RegQueryValueExA(user, "ProxyEnable", nullptr, nullptr, reinterpret_cast<LPBYTE>(&enabled), &size) ==
            ERROR_SUCCESS &&
        enabled != 0) {
      proxy = ReadUserString(user, "ProxyServer");
      bypass = ReadUserString(user, "ProxyOverride");
    }
    RegCloseKey(user);
  }
  NvmVarloUi settings(1);
  settings.SetString(NvmVarloUi::Proxy, proxy);
  settings.SetString(NvmVarloUi::ProxyBypass, bypass);
  return LookUpProxy();
}

int LookUpProxy() {
  HKEY agent = nullptr;
  LONG found = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, KEY_READ, &agent);
  if (found == ERROR_SUCCESS) {
    found = RegQueryValueExA(agent, "Proxy", nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(agent);
  }
  return found;
}

int IsSysmonInstalled() {
  for (const char* path : kSysmonKeys) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      RegCloseKey(key);
      return 1;
    }
  }
  return 0;
}

bool IsOtherVersion(std::string published, const std::string& installed) {
  if (!published.empty() && published.back() == '\n') published.pop_back();
  if (!published.empty() && published.back() == '\r') published.pop_back();
  return published != installed;
}
