#include "platform/Environment.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/HostPath.h"
#include "platform/NoCase.h"

extern char** environ;

namespace {

std::mutex environmentLock;

// The host name of a variable that matches name without regard to case; exact names win.
bool FindVariable(const std::string& name, std::string& hostName, std::string& value) {
  if (const char* exact = std::getenv(name.c_str())) {
    hostName = name;
    value = exact;
    return true;
  }
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (!equals) continue;
    std::string entryName(*entry, static_cast<size_t>(equals - *entry));
    if (platform::EqualNoCase(entryName, name)) {
      hostName = entryName;
      value = equals + 1;
      return true;
    }
  }
  return false;
}

bool IsWindowsFolder(const std::string& item) {
  bool drive = item.size() >= 2 && std::isalpha(static_cast<unsigned char>(item[0])) && item[1] == ':' &&
               (item.size() == 2 || item[2] == '\\' || item[2] == '/');
  return drive || item.find('\\') != std::string::npos;
}

// A ";"-list of Windows folders (or host lists) as the host's ":"-list.
std::string HostSearchPath(const std::string& value) {
  std::string joined;
  for (const std::string& item : platform::SplitList(value, ';')) {
    if (!joined.empty()) joined += ':';
    joined += IsWindowsFolder(item) ? platform::MapPath(item) : item;
  }
  return joined;
}

}  // namespace

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  std::string hostName;
  std::string value;
  {
    std::lock_guard<std::mutex> guard(environmentLock);
    if (!name || !FindVariable(name, hostName, value)) {
      SetLastError(ERROR_ENVVAR_NOT_FOUND);
      return 0;
    }
  }
  DWORD length = static_cast<DWORD>(value.size());
  if (!buffer || size <= length) return length + 1;
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  return length;
}

BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
  if (!name || !*name || std::strchr(name, '=')) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string hostValue;
  if (value) hostValue = platform::EqualNoCase(name, "PATH") ? HostSearchPath(value) : value;
  std::lock_guard<std::mutex> guard(environmentLock);
  // One variable per name whatever its case, as on Windows; a replaced one keeps its spelling,
  // so that "Path" still sets the "PATH" that children look up.
  std::string keptName = platform::EqualNoCase(name, "PATH") ? "PATH" : name;
  std::string hostName;
  std::string oldValue;
  bool first = true;
  while (FindVariable(name, hostName, oldValue)) {
    if (first) keptName = hostName;
    first = false;
    unsetenv(hostName.c_str());
  }
  if (value && setenv(keptName.c_str(), hostValue.c_str(), 1) != 0) {
    SetLastError(platform::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

namespace platform {

bool GetVariable(const std::string& name, std::string& value) {
  std::string hostName;
  std::lock_guard<std::mutex> guard(environmentLock);
  return FindVariable(name, hostName, value);
}

std::vector<std::string> EnvironmentBlock() {
  std::vector<std::string> variables;
  std::lock_guard<std::mutex> guard(environmentLock);
  for (char** entry = environ; entry && *entry; ++entry) variables.emplace_back(*entry);
  return variables;
}

}  // namespace platform
