#pragma once
// The registry's storage: one file per hive under the machine root. Readers take a snapshot of
// the file (writers replace it by rename, so a snapshot is always whole); writers serialise on a
// lock file and rewrite the hive from its latest state, so no process loses another's write.
#include <functional>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace platform {

struct cRegistryValue {
  std::string name;
  DWORD type = 0;
  std::string data;
};

struct cRegistryKey {
  std::string path;  // from the hive's top, "\"-separated, as first created; "" is the top
  std::vector<cRegistryValue> values;

  cRegistryValue* FindValue(const std::string& name);
};

class cRegistryHive {
 public:
  cRegistryHive();
  // Paths compare without regard to case; the top key always exists.
  cRegistryKey* FindKey(const std::string& path);
  // Creates the key and every missing key above it; true when it was created.
  bool CreateKey(const std::string& path);
  bool DeleteKey(const std::string& path);
  // Names of the direct sub-keys, sorted without regard to case.
  std::vector<std::string> SubKeyNames(const std::string& path) const;

  std::string Serialise() const;
  // False when the text is not a whole hive (an empty or cut text included).
  bool Parse(const std::string& text);

 private:
  std::vector<cRegistryKey> m_keys;
};

class cRegistryStore {
 public:
  // A snapshot of the hive (empty when its file does not exist): ERROR_SUCCESS, or ERROR_BADDB
  // when the file is damaged.
  static DWORD Read(const std::string& hiveName, cRegistryHive& hive);
  // Applies change to the latest hive under the lock and stores the result when change returns
  // ERROR_SUCCESS and says it modified something; returns change's result or a storage error.
  static DWORD Update(const std::string& hiveName,
                      const std::function<DWORD(cRegistryHive& hive, bool& modified)>& change);
};

}  // namespace platform
