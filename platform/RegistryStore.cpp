#include "RegistryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/NoCase.h"

namespace platform {
namespace {

// A store file begins with its header line and ends with its end line; a file without the end
// line was cut short and is never taken for a whole store.
constexpr const char* header = "VARLO-REGISTRY 2";
constexpr const char* endLine = "end";
constexpr const char* hexDigits = "0123456789abcdef";

std::string ParentPath(const std::string& path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Escape(const std::string& text) {
  std::string escaped;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f || c == '%') {
      escaped += '%';
      escaped += hexDigits[c >> 4];
      escaped += hexDigits[c & 15];
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = HexValue(text[i + 1]);
    int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::string Hex(const std::string& bytes) {
  if (bytes.empty()) return "-";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += hexDigits[c >> 4];
    hex += hexDigits[c & 15];
  }
  return hex;
}

bool Unhex(const std::string& hex, std::string& out) {
  out.clear();
  if (hex == "-") return true;
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = HexValue(hex[i]);
    int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string HiveFile(const std::string& hiveName) { return StateFolder() + "/registry/" + hiveName; }

// Serialises writers of all threads of this process; the lock file does it between processes.
std::mutex writeLock;

}  // namespace

cRegistryValue* cRegistryKey::FindValue(const std::string& name) {
  for (auto& value : values) {
    if (EqualNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

cRegistryHive::cRegistryHive() : m_keys{cRegistryKey{"", {}}} {}

cRegistryKey* cRegistryHive::FindKey(const std::string& path) {
  for (auto& key : m_keys) {
    if (EqualNoCase(key.path, path)) return &key;
  }
  return nullptr;
}

bool cRegistryHive::CreateKey(const std::string& path) {
  if (FindKey(path)) return false;
  if (!path.empty()) CreateKey(ParentPath(path));
  m_keys.push_back(cRegistryKey{path, {}});
  return true;
}

bool cRegistryHive::DeleteKey(const std::string& path) {
  if (path.empty()) return false;
  auto found = std::find_if(m_keys.begin(), m_keys.end(),
                            [&](const cRegistryKey& key) { return EqualNoCase(key.path, path); });
  if (found == m_keys.end()) return false;
  m_keys.erase(found);
  return true;
}

std::vector<std::string> cRegistryHive::SubKeyNames(const std::string& path) const {
  std::vector<std::string> names;
  for (const auto& key : m_keys) {
    if (!key.path.empty() && EqualNoCase(ParentPath(key.path), path)) {
      names.push_back(path.empty() ? key.path : key.path.substr(path.size() + 1));
    }
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return LowerAscii(a) < LowerAscii(b); });
  return names;
}

std::string cRegistryHive::Serialise() const {
  std::string text = std::string(header) + "\n";
  for (const auto& key : m_keys) {
    text += "key " + Escape(key.path) + "\n";
    for (const auto& value : key.values) {
      text += "value " + std::to_string(value.type) + " " + Hex(value.data) + " " + Escape(value.name) + "\n";
    }
  }
  return text + endLine + "\n";
}

bool cRegistryHive::Parse(const std::string& text) {
  cRegistryHive parsed;
  parsed.m_keys.clear();
  const std::string ending = std::string("\n") + endLine + "\n";
  if (text.size() < ending.size() || text.compare(text.size() - ending.size(), ending.size(), ending) != 0)
    return false;
  std::istringstream lines(text.substr(0, text.size() - ending.size() + 1));
  std::string line;
  if (!std::getline(lines, line) || line != header) return false;
  while (std::getline(lines, line)) {
    if (line.compare(0, 4, "key ") == 0) {
      std::string path;
      if (!Unescape(line.substr(4), path) || parsed.FindKey(path)) return false;
      parsed.m_keys.push_back(cRegistryKey{path, {}});
    } else if (line.compare(0, 6, "value ") == 0 && !parsed.m_keys.empty()) {
      size_t typeEnd = line.find(' ', 6);
      size_t dataEnd = typeEnd == std::string::npos ? typeEnd : line.find(' ', typeEnd + 1);
      if (dataEnd == std::string::npos) return false;
      cRegistryValue value;
      std::string typeText = line.substr(6, typeEnd - 6);
      if (typeText.empty() || typeText.size() > 10 || typeText.find_first_not_of("0123456789") != std::string::npos) {
        return false;
      }
      unsigned long long type = std::strtoull(typeText.c_str(), nullptr, 10);
      if (type > 0xFFFFFFFFull) return false;
      value.type = static_cast<DWORD>(type);
      if (!Unhex(line.substr(typeEnd + 1, dataEnd - typeEnd - 1), value.data)) return false;
      if (!Unescape(line.substr(dataEnd + 1), value.name)) return false;
      parsed.m_keys.back().values.push_back(std::move(value));
    } else {
      return false;
    }
  }
  if (!parsed.FindKey("")) parsed.m_keys.insert(parsed.m_keys.begin(), cRegistryKey{"", {}});
  m_keys = std::move(parsed.m_keys);
  return true;
}

DWORD cRegistryStore::Read(const std::string& hiveName, cRegistryHive& hive) {
  std::string text;
  if (!ReadWholeFile(HiveFile(hiveName), text)) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) return GetLastError();
    // A machine whose hive has never been written.
    hive = cRegistryHive();
    return ERROR_SUCCESS;
  }
  return hive.Parse(text) ? ERROR_SUCCESS : ERROR_BADDB;
}

DWORD cRegistryStore::Update(const std::string& hiveName,
                             const std::function<DWORD(cRegistryHive& hive, bool& modified)>& change) {
  std::lock_guard<std::mutex> guard(writeLock);
  std::string folder = StateFolder() + "/registry";
  if (!CreateFolders(folder)) return GetLastError();
  std::string lockPath = HiveFile(hiveName) + ".lock";
  int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd < 0) return ErrorFromErrno(errno);
  while (flock(lockFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      DWORD error = ErrorFromErrno(errno);
      close(lockFd);
      return error;
    }
  }
  cRegistryHive hive;
  bool modified = false;
  DWORD result = Read(hiveName, hive);
  if (result == ERROR_SUCCESS) result = change(hive, modified);
  if (result == ERROR_SUCCESS && modified && !WriteFileAtomically(HiveFile(hiveName), hive.Serialise())) {
    result = GetLastError();
  }
  close(lockFd);  // releases the lock
  return result;
}

}  // namespace platform
