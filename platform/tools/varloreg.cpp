// varloreg: reads and writes the stand-in registry of the machine root ($VARLO_ROOT), in place of
// the system's registry editor.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/tools/ToolUsage.h"

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

const char* const usage =
    "usage: varloreg <command> <key> [arguments]\n"
    "\n"
    "  list   <key>                     the key's values with their types, then its sub-keys\n"
    "  query  <key> <name>              one value\n"
    "  set    <key> <name> <type> <data>\n"
    "                                   write a value, creating the key; type is REG_SZ,\n"
    "                                   REG_DWORD or REG_QWORD (numbers decimal or 0x hex)\n"
    "  delete <key> <name>              delete a value\n"
    "\n"
    "A key is written as HKLM\\SOFTWARE\\BreltSecurity\\VARLO\\Domain (HKLM, HKCU, HKU, HKCR or\n"
    "their long forms). An empty name (\"\") is the key's default value. The registry is the one\n"
    "of the machine root in VARLO_ROOT (default /var/lib/varlo).\n";

struct cRootName {
  const char* shortName;
  const char* longName;
  HKEY key;
};

const cRootName roots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
};

bool EqualNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Splits "HKLM\a\b" into its root key and the path below it.
bool ParseKey(const std::string& text, HKEY& root, std::string& path, std::string& shown) {
  size_t slash = text.find('\\');
  std::string first = text.substr(0, slash);
  for (const auto& candidate : roots) {
    if (EqualNoCase(first, candidate.shortName) || EqualNoCase(first, candidate.longName)) {
      root = candidate.key;
      path = slash == std::string::npos ? std::string() : text.substr(slash + 1);
      shown = std::string(candidate.shortName) + (path.empty() ? "" : "\\" + path);
      return true;
    }
  }
  return false;
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "TYPE_" + std::to_string(type);
  }
}

std::string Hex(const std::vector<BYTE>& data) {
  std::string text;
  char byte[3];
  for (BYTE b : data) {
    std::snprintf(byte, sizeof byte, "%02X", b);
    text += byte;
  }
  return text;
}

// The data as the system's registry editor shows it; sizes that do not fit the type show as hex.
std::string Show(DWORD type, const std::vector<BYTE>& data) {
  char number[32];
  if ((type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::string text(data.begin(), data.end());
    return text.substr(0, text.find('\0'));
  }
  if (type == REG_DWORD && data.size() == 4) {
    uint32_t value;
    std::memcpy(&value, data.data(), 4);
    std::snprintf(number, sizeof number, "0x%" PRIx32, value);
    return number;
  }
  if (type == REG_QWORD && data.size() == 8) {
    uint64_t value;
    std::memcpy(&value, data.data(), 8);
    std::snprintf(number, sizeof number, "0x%" PRIx64, value);
    return number;
  }
  return Hex(data);
}

void PrintValue(const std::string& name, DWORD type, const std::vector<BYTE>& data) {
  std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), TypeName(type).c_str(),
              Show(type, data).c_str());
}

int Fail(const std::string& what, LONG error) {
  const char* reason = error == ERROR_FILE_NOT_FOUND      ? "not found"
                       : error == ERROR_ACCESS_DENIED     ? "access denied"
                       : error == ERROR_BAD_PATHNAME      ? "bad key path"
                       : error == ERROR_BADDB             ? "the registry file is damaged"
                       : error == ERROR_KEY_DELETED       ? "the key was deleted"
                                                          : "failed";
  std::fprintf(stderr, "varloreg: %s: %s (error %ld)\n", what.c_str(), reason, static_cast<long>(error));
  return exitFailure;
}

int Usage(const std::string& why) { return UsageError("varloreg", why, usage, exitUsage); }

// Reads a value whole, growing the buffer while the registry asks for more.
LONG ReadValue(HKEY key, const std::string& name, DWORD& type, std::vector<BYTE>& data) {
  DWORD size = 0;
  LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
  while (result == ERROR_SUCCESS) {
    data.resize(size);
    DWORD got = size;
    result = RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &got);
    if (result == ERROR_MORE_DATA) {
      size = got;
      result = ERROR_SUCCESS;
      continue;
    }
    data.resize(got);
    break;
  }
  return result;
}

int List(HKEY key, const std::string& shown) {
  std::printf("%s\n", shown.c_str());
  for (DWORD index = 0;; ++index) {
    char name[16384];
    DWORD nameSize = sizeof name;
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, &size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return Fail(shown, result);
    std::vector<BYTE> data;
    result = ReadValue(key, name, type, data);
    if (result != ERROR_SUCCESS) return Fail(shown + "\\" + name, result);
    PrintValue(name, type, data);
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameSize = sizeof name;
    LONG result = RegEnumKeyExA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return Fail(shown, result);
    std::printf("\n%s\\%s\n", shown.c_str(), name);
  }
  return 0;
}

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0' && value <= limit;
}

int Set(HKEY root, const std::string& path, const std::string& shown, const std::string& name,
        const std::string& typeText, const std::string& dataText) {
  std::vector<BYTE> data;
  DWORD type;
  uint64_t number = 0;
  if (EqualNoCase(typeText, "REG_SZ")) {
    type = REG_SZ;
    data.assign(dataText.begin(), dataText.end());
    data.push_back(0);
  } else if (EqualNoCase(typeText, "REG_DWORD")) {
    type = REG_DWORD;
    if (!ParseNumber(dataText, 0xFFFFFFFFull, number)) return Usage("not a REG_DWORD number: " + dataText);
    uint32_t value = static_cast<uint32_t>(number);
    data.resize(4);
    std::memcpy(data.data(), &value, 4);
  } else if (EqualNoCase(typeText, "REG_QWORD")) {
    type = REG_QWORD;
    if (!ParseNumber(dataText, UINT64_MAX, number)) return Usage("not a REG_QWORD number: " + dataText);
    data.resize(8);
    std::memcpy(data.data(), &number, 8);
  } else {
    return Usage("unknown type " + typeText + " (REG_SZ, REG_DWORD or REG_QWORD)");
  }
  HKEY key;
  LONG result = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                &key, nullptr);
  if (result != ERROR_SUCCESS) return Fail(shown, result);
  result = RegSetValueExA(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? 0 : Fail(shown + "\\" + name, result);
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv) || (argc >= 2 && std::strcmp(argv[1], "help") == 0)) return ShowUsage(usage);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  size_t expected = command == "list" ? 2 : command == "query" || command == "delete" ? 3 : command == "set" ? 5 : 0;
  if (expected == 0) return Usage("unknown command " + command);
  if (args.size() != expected) return Usage("wrong number of arguments for " + command);
  HKEY root;
  std::string path;
  std::string shown;
  if (!ParseKey(args[1], root, path, shown)) return Usage("not a registry key: " + args[1]);
  if (command == "set") return Set(root, path, shown, args[2], args[3], args[4]);

  HKEY key;
  REGSAM access = command == "delete" ? KEY_ALL_ACCESS : KEY_READ;
  LONG result = RegOpenKeyExA(root, path.c_str(), 0, access, &key);
  if (result != ERROR_SUCCESS) return Fail(shown, result);
  int status = 0;
  if (command == "list") {
    status = List(key, shown);
  } else if (command == "query") {
    DWORD type = 0;
    std::vector<BYTE> data;
    result = ReadValue(key, args[2], type, data);
    if (result == ERROR_SUCCESS) {
      std::printf("%s\n", shown.c_str());
      PrintValue(args[2], type, data);
    } else {
      status = Fail(shown + "\\" + args[2], result);
    }
  } else {
    result = RegDeleteValueA(key, args[2].c_str());
    if (result != ERROR_SUCCESS) status = Fail(shown + "\\" + args[2], result);
  }
  RegCloseKey(key);
  return status;
}
