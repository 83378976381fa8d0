#include "common/Nvm.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/TextConv.h"

namespace {

const char* const kVarloNames[] = {"AgentType",  "AgentVersion", "InstallDir", "LicenseKey",
                                   "AgentId",    "IpAddr",       "Status",     "UploadTime",
                                   "AutoUpdate", "EventChannelMask", "RC",     "Proxy",
                                   "ProxyBypass"};
const char* const kDomainNames[] = {"Domain", "Repo", "Apis", "UploadSys", "UploadWeb"};
const char* const kModVarloNames[] = {"ModVarlo", "Seq", "Active"};
const char* const kVarloUiNames[] = {"AgentType",  "AgentVersion", "InstallDir", "InstallTime",
                                     "PatchTime",  "LicenseKey",   "AgentId",    "Status",
                                     "UploadTime", "AutoUpdate",   "Proxy",      "ProxyBypass"};

template <size_t N>
constexpr int CountOf(const char* const (&)[N]) {
  return static_cast<int>(N);
}

bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Reads a decimal number as "%d" does (leading blanks, a sign); false when there is none or it
// does not fit.
bool ScanInt(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return false;
  value = static_cast<int>(number);
  return true;
}

}  // namespace

int cNvm::Open(int mode, const char* subKey) {
  std::string path = kAgentKeyPath;
  if (subKey && *subKey) path += std::string("\\") + subKey;
  return OpenPath(HKEY_LOCAL_MACHINE, path.c_str(), mode);
}

int cNvm::OpenPath(HKEY root, const char* path, int mode) {
  Close();
  m_Mode = mode;
  LONG result;
  if (mode < 1) {
    result = RegOpenKeyExA(root, path, 0, KEY_READ, &m_Key);
  } else {
    result = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &m_Key, nullptr);
  }
  if (result != ERROR_SUCCESS) {
    Close();
    return -1;
  }
  return 0;
}

void cNvm::Close() {
  if (m_Key) RegCloseKey(m_Key);
  m_Key = nullptr;
}

const char* cNvm::Name(int index) const {
  return index >= 0 && index < m_NameCount ? m_Names[index] : nullptr;
}

int cNvm::GetString(const char* name, std::string& text) {
  if (!m_Key || !name) return -1;
  char buffer[kStringBufferBytes];
  DWORD size = sizeof buffer;
  const LONG result =
      RegQueryValueExA(m_Key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  if (result == ERROR_SUCCESS) {
    text.assign(buffer, strnlen(buffer, size));
    return 0;
  }
  if (result == ERROR_FILE_NOT_FOUND && Writable()) {
    SetString(name, text);
    return 1;
  }
  return result == ERROR_MORE_DATA ? -2 : -1;
}

int cNvm::GetDword(const char* name, uint32_t& value) {
  return GetNumber(name, &value, sizeof value, REG_DWORD);
}

int cNvm::GetQword(const char* name, uint64_t& value) {
  return GetNumber(name, &value, sizeof value, REG_QWORD);
}

int cNvm::GetNumber(const char* name, void* field, uint32_t fieldBytes, DWORD type) {
  if (!m_Key || !name) return -1;
  uint8_t buffer[sizeof(uint64_t)];
  DWORD size = fieldBytes;
  const LONG result = RegQueryValueExA(m_Key, name, nullptr, nullptr, buffer, &size);
  if (result == ERROR_SUCCESS) {
    std::memcpy(field, buffer, size);
    return 0;
  }
  if (result == ERROR_FILE_NOT_FOUND && Writable()) {
    SetValue(name, type, field, fieldBytes);
    return 1;
  }
  return -1;
}

int cNvm::SetString(const char* name, const std::string& text) {
  return SetValue(name, REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

int cNvm::SetDword(const char* name, uint32_t value) {
  return SetValue(name, REG_DWORD, &value, sizeof value);
}

int cNvm::SetQword(const char* name, uint64_t value) {
  return SetValue(name, REG_QWORD, &value, sizeof value);
}

int cNvm::SetValue(const char* name, DWORD type, const void* data, uint32_t bytes) {
  if (!name) return -static_cast<int>(ERROR_INVALID_PARAMETER);
  const LONG result = RegSetValueExA(m_Key, name, 0, type, static_cast<const BYTE*>(data), bytes);
  return -static_cast<int>(result);
}

int cNvm::GetUrl(const char* name, std::wstring& host, int& secure, int& port) {
  std::string url;
  GetString(name, url);  // an unreadable value leaves it empty
  return ParseUrl(url, host, secure, port);
}

int cNvm::ParseUrl(const std::string& url, std::wstring& host, int& secure, int& port) {
  secure = 1;
  port = 443;
  if (url.empty()) return -1;
  size_t start = 0;
  while (start < url.size() && IsBlank(url[start])) ++start;
  const size_t separator = url.find("://", start);
  if (separator == std::string::npos) return -2;
  const size_t schemeLength = separator - start;
  if (schemeLength == 4) {
    secure = 0;
    port = 80;
  } else if (schemeLength != 5) {
    return -2;
  }

  const size_t hostStart = separator + 3;
  size_t hostEnd = url.find(':', hostStart);
  if (hostEnd != std::string::npos) {
    ScanInt(url.c_str() + hostEnd + 1, port);
  } else {
    hostEnd = url.find('/', hostStart);
    if (hostEnd == std::string::npos) hostEnd = url.size();
  }
  host = WidenBytes(std::string_view(url).substr(hostStart, hostEnd - hostStart));
  return 0;
}

NvmVarlo::NvmVarlo(int mode) : cNvm(kVarloNames, CountOf(kVarloNames)) { Open(mode); }

NvmDomain::NvmDomain(int mode) : cNvm(kDomainNames, CountOf(kDomainNames)) {
  Open(mode, Name(Domain));
}

NvmModVarlo::NvmModVarlo(int mode) : cNvm(kModVarloNames, CountOf(kModVarloNames)) {
  Open(mode, Name(ModVarlo));
}

NvmVarloUi::NvmVarloUi(int mode) : cNvm(kVarloUiNames, CountOf(kVarloUiNames)) { Open(mode); }
