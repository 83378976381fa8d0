#include "platform/Registry.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RegistryStore.h"
#include "platform/Handles.h"

namespace {

using platform::cRegistryHive;
using platform::cRegistryKey;
using platform::cRegistryStore;
using platform::cRegistryValue;

// An open key: the hive it lives in, its path from the hive's top and the access it was opened with.
class cOpenKey : public platform::cKernelObject {
 public:
  cOpenKey(std::string hive, std::string path, REGSAM access)
      : hiveName(std::move(hive)), path(std::move(path)), access(access) {}
  std::string hiveName;
  std::string path;
  REGSAM access;
};

const char* PredefinedHive(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKLM";
  if (key == HKEY_CURRENT_USER) return "HKCU";
  if (key == HKEY_USERS) return "HKU";
  if (key == HKEY_CLASSES_ROOT) return "HKCR";
  return nullptr;
}

// The open key behind a handle (the predefined keys are open with every right).
std::shared_ptr<cOpenKey> Resolve(HKEY key) {
  if (const char* hive = PredefinedHive(key)) return std::make_shared<cOpenKey>(hive, "", KEY_ALL_ACCESS);
  return platform::LookupHandleAs<cOpenKey>(reinterpret_cast<HANDLE>(key));
}

// The path of subKey below parent; false for empty components or a leading "\".
bool JoinSubKey(const std::string& parent, LPCSTR subKey, std::string& path) {
  std::string relative = subKey ? subKey : "";
  while (!relative.empty() && relative.back() == '\\') relative.pop_back();
  if (relative.empty()) {
    path = parent;
    return true;
  }
  if (relative[0] == '\\' || relative.find("\\\\") != std::string::npos) return false;
  path = parent.empty() ? relative : parent + "\\" + relative;
  return true;
}

// Copies bytes into a caller's buffer by the registry's size protocol.
LONG CopyOut(const std::string& bytes, LPBYTE data, LPDWORD dataSize) {
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  if (!dataSize) return ERROR_SUCCESS;
  DWORD needed = static_cast<DWORD>(bytes.size());
  if (data && *dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  if (data && needed > 0) std::memcpy(data, bytes.data(), needed);
  *dataSize = needed;
  return ERROR_SUCCESS;
}

// Copies a name with its NUL; *size is in characters and excludes the NUL on return.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD size) {
  if (!buffer || !size) return ERROR_INVALID_PARAMETER;
  if (*size <= name.size()) {
    *size = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Takes a snapshot and finds the handle's key in it.
LONG ReadKey(HKEY key, REGSAM needed, cRegistryHive& hive, cRegistryKey*& found) {
  auto open = Resolve(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if ((open->access & needed) != needed) return ERROR_ACCESS_DENIED;
  DWORD result = cRegistryStore::Read(open->hiveName, hive);
  if (result != ERROR_SUCCESS) return static_cast<LONG>(result);
  found = hive.FindKey(open->path);
  return found ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Runs change on the handle's key in the latest hive.
LONG ChangeKey(HKEY key, REGSAM needed, const std::function<DWORD(cRegistryHive&, cRegistryKey&, bool&)>& change) {
  auto open = Resolve(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if ((open->access & needed) != needed) return ERROR_ACCESS_DENIED;
  return static_cast<LONG>(cRegistryStore::Update(open->hiveName, [&](cRegistryHive& hive, bool& modified) {
    cRegistryKey* found = hive.FindKey(open->path);
    if (!found) return ERROR_KEY_DELETED;
    return change(hive, *found, modified);
  }));
}

LONG HandOut(const std::shared_ptr<cOpenKey>& parent, std::string path, REGSAM access, PHKEY result) {
  auto key = std::make_shared<cOpenKey>(parent->hiveName, std::move(path), access);
  *result = reinterpret_cast<HKEY>(platform::RegisterHandle(std::move(key)));
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto parent = Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  std::string path;
  if (!JoinSubKey(parent->path, subKey, path)) return ERROR_BAD_PATHNAME;
  cRegistryHive hive;
  DWORD read = cRegistryStore::Read(parent->hiveName, hive);
  if (read != ERROR_SUCCESS) return static_cast<LONG>(read);
  cRegistryKey* found = hive.FindKey(path);
  if (!found) return ERROR_FILE_NOT_FOUND;
  return HandOut(parent, found->path, access, result);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access, const void*, PHKEY result,
                     LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto parent = Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  std::string path;
  if (!JoinSubKey(parent->path, subKey, path)) return ERROR_BAD_PATHNAME;
  std::string storedPath = path;
  bool created = false;
  DWORD change = cRegistryStore::Update(parent->hiveName, [&](cRegistryHive& hive, bool& modified) {
    if (!hive.FindKey(parent->path)) return ERROR_KEY_DELETED;
    created = hive.CreateKey(path);
    if (created && (parent->access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    modified = created;
    storedPath = hive.FindKey(path)->path;
    return ERROR_SUCCESS;
  });
  if (change != ERROR_SUCCESS) return static_cast<LONG>(change);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return HandOut(parent, storedPath, access, result);
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  cRegistryHive hive;
  cRegistryKey* key = nullptr;
  LONG result = ReadKey(hKey, KEY_QUERY_VALUE, hive, key);
  if (result != ERROR_SUCCESS) return result;
  cRegistryValue* value = key->FindValue(valueName ? valueName : "");
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  return CopyOut(value->data, data, dataSize);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
  if (!data && dataSize > 0) return ERROR_INVALID_PARAMETER;
  std::string name = valueName ? valueName : "";
  std::string bytes(reinterpret_cast<const char*>(data), data ? dataSize : 0);
  return ChangeKey(hKey, KEY_SET_VALUE, [&](cRegistryHive&, cRegistryKey& key, bool& modified) {
    if (cRegistryValue* existing = key.FindValue(name)) {
      existing->type = type;
      existing->data = bytes;
    } else {
      key.values.push_back(cRegistryValue{name, type, bytes});
    }
    modified = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR valueName) {
  std::string name = valueName ? valueName : "";
  return ChangeKey(hKey, KEY_SET_VALUE, [&](cRegistryHive&, cRegistryKey& key, bool& modified) {
    cRegistryValue* value = key.FindValue(name);
    if (!value) return ERROR_FILE_NOT_FOUND;
    key.values.erase(key.values.begin() + (value - key.values.data()));
    modified = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR subKey) {
  auto parent = Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  std::string path;
  if (!subKey || !*subKey || !JoinSubKey(parent->path, subKey, path)) return ERROR_BAD_PATHNAME;
  return ChangeKey(hKey, 0, [&](cRegistryHive& hive, cRegistryKey&, bool& modified) {
    if (!hive.FindKey(path)) return ERROR_FILE_NOT_FOUND;
    if (!hive.SubKeyNames(path).empty()) return ERROR_ACCESS_DENIED;
    modified = hive.DeleteKey(path);
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValueA(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) {
  cRegistryHive hive;
  cRegistryKey* key = nullptr;
  LONG result = ReadKey(hKey, KEY_QUERY_VALUE, hive, key);
  if (result != ERROR_SUCCESS) return result;
  if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  const cRegistryValue& value = key->values[index];
  result = CopyName(value.name, name, nameSize);
  if (result != ERROR_SUCCESS) return result;
  if (type) *type = value.type;
  return CopyOut(value.data, data, dataSize);
}

LONG RegEnumKeyExA(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR, LPDWORD, void*) {
  cRegistryHive hive;
  cRegistryKey* key = nullptr;
  LONG result = ReadKey(hKey, KEY_ENUMERATE_SUB_KEYS, hive, key);
  if (result != ERROR_SUCCESS) return result;
  std::vector<std::string> names = hive.SubKeyNames(key->path);
  if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
  return CopyName(names[index], name, nameSize);
}

LONG RegCloseKey(HKEY hKey) {
  if (PredefinedHive(hKey)) return ERROR_SUCCESS;
  if (!platform::LookupHandleAs<cOpenKey>(reinterpret_cast<HANDLE>(hKey))) return ERROR_INVALID_HANDLE;
  return CloseHandle(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
