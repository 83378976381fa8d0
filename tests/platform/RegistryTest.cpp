#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "tests/support/TempMachineRoot.h"

namespace {

const char* const agentKey = "SOFTWARE\\BreltSecurity\\VARLO";

HKEY Create(const char* path, REGSAM access = KEY_ALL_ACCESS) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                           nullptr, &key, nullptr));
  return key;
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG SetText(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

std::string HiveFile() { return platform::StateFolder() + "/registry/HKLM"; }

}  // namespace

TEST(Registry, ValuesKeepTypeAndRawBytesAcrossReopen) {
  cTempMachineRoot root;
  HKEY key = Create(agentKey);
  uint64_t upload = 0x0102030405060708ull;
  const BYTE binary[] = {0, 1, 0, 0xFF};
  ASSERT_EQ(ERROR_SUCCESS, SetText(key, "AgentType", "SIEM_WIN"));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "Status", 2));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "UploadTime", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&upload), 8));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Blob", 0, REG_BINARY, binary, sizeof binary));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Empty", 0, REG_SZ, nullptr, 0));
  RegCloseKey(key);

  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, KEY_READ, &key));
  struct cExpected {
    const char* name;
    DWORD type;
    std::string bytes;
  } expected[] = {
      {"AgentType", REG_SZ, std::string("SIEM_WIN\0", 9)},
      {"Status", REG_DWORD, std::string("\x02\0\0\0", 4)},
      {"UploadTime", REG_QWORD, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
      {"Blob", REG_BINARY, std::string("\0\x01\0\xFF", 4)},
      {"Empty", REG_SZ, std::string()},
  };
  for (const auto& value : expected) {
    SCOPED_TRACE(value.name);
    BYTE data[64];
    DWORD size = sizeof data;
    DWORD type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, value.name, nullptr, &type, data, &size));
    EXPECT_EQ(value.type, type);
    EXPECT_EQ(value.bytes, std::string(reinterpret_cast<char*>(data), size));
  }
  RegCloseKey(key);
}

TEST(Registry, KeyAndValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
  cTempMachineRoot root;
  HKEY key = Create(agentKey);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "AutoUpdate", 1));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "AUTOUPDATE", 0));  // the same value
  RegCloseKey(key);

  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\breltsecurity\\varlo", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
  DWORD value = 7;
  DWORD size = sizeof value;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "autoupdate", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(0u, value);
  char name[32];
  DWORD nameSize = sizeof name;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("AutoUpdate", name);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr));
  RegCloseKey(key);

  HKEY parent;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BRELTSECURITY", 0, KEY_READ, &parent));
  nameSize = sizeof name;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(parent, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("VARLO", name);
  RegCloseKey(parent);
}

TEST(Registry, ReportsWindowsErrorNumbers) {
  cTempMachineRoot root;
  HKEY key;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, KEY_READ, &key));

  key = Create(agentKey);
  ASSERT_EQ(ERROR_SUCCESS, SetText(key, "InstallDir", "C:\\Program Files\\VARLO"));
  BYTE small[8];
  DWORD size = sizeof small;
  DWORD type = 0;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "InstallDir", nullptr, &type, small, &size));
  EXPECT_EQ(23u, size);  // the needed size, NUL included
  EXPECT_EQ(REG_SZ, type);
  size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "InstallDir", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(23u, size);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Missing", nullptr, nullptr, small, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "Missing"));
  RegCloseKey(key);

  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(key, "Status", 1));
  RegCloseKey(key);

  HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(bogus, "Status", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(bogus));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));  // already closed
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, &key));
}

TEST(Registry, DeletedKeysAndSubKeys) {
  cTempMachineRoot root;
  HKEY key = Create("SOFTWARE\\BreltSecurity\\VARLO\\ModVarlo");
  HKEY parent = Create(agentKey);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BreltSecurity"));  // has sub-keys
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "modvarlo"));
  EXPECT_EQ(ERROR_KEY_DELETED, SetDword(key, "Active", 1));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(parent, "ModVarlo"));
  RegCloseKey(key);
  RegCloseKey(parent);
}

// A store that is damaged, empty or cut short anywhere (a value "Status" cut to "St" included) is
// refused as a whole, by readers, writers and the service manager alike, and never rewritten.
TEST(Registry, ADamagedEmptyOrCutStoreIsRefusedWith1009AndLeftAsItIs) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::InstallService("VARLO", "VarloService.exe"));
  HKEY key = Create(agentKey);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "Status", 2));
  RegCloseKey(key);
  std::string whole;
  ASSERT_TRUE(platform::ReadWholeFile(HiveFile(), whole));
  std::vector<std::string> damaged = {"", "VARLO-REGISTRY 2\nkey SOFTWARE\nvalue x zz Status\nend\n",
                                      whole + "key extra\n"};
  for (size_t length = 0; length < whole.size(); ++length) damaged.push_back(whole.substr(0, length));

  for (const std::string& text : damaged) {
    ASSERT_TRUE(platform::WriteFileAtomically(HiveFile(), text));
    EXPECT_EQ(static_cast<LONG>(ERROR_BADDB), RegOpenKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, KEY_READ, &key))
        << text;
    EXPECT_EQ(static_cast<LONG>(ERROR_BADDB),
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        << text;
    EXPECT_EQ(static_cast<LONG>(ERROR_BADDB), SetDword(HKEY_LOCAL_MACHINE, "Status", 1)) << text;
    platform::cServiceState state;
    EXPECT_EQ(ERROR_BADDB, platform::QueryServiceState("VARLO", state)) << text;
    std::string after;
    ASSERT_TRUE(platform::ReadWholeFile(HiveFile(), after));
    EXPECT_EQ(text, after);
  }
}

// Writers in several processes at once: none loses another's values, readers never see a torn
// store, and no temporary file is left behind.
TEST(Registry, ConcurrentWritersInSeveralProcessesLoseNothing) {
  cTempMachineRoot root;
  RegCloseKey(Create(agentKey));
  constexpr int writers = 4;
  constexpr int valuesEach = 40;
  std::vector<pid_t> children;
  for (int writer = 0; writer < writers; ++writer) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      HKEY key;
      int failures = RegOpenKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS;
      for (int i = 0; i < valuesEach; ++i) {
        std::string name = "W" + std::to_string(writer) + "_" + std::to_string(i);
        failures += SetDword(key, name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  HKEY reader;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, agentKey, 0, KEY_READ, &reader));
  int tornReads = 0;
  for (int i = 0; i < 200; ++i) {
    DWORD size = 0;
    LONG result = RegQueryValueExA(reader, "W0_0", nullptr, nullptr, nullptr, &size);
    tornReads += result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND;
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(0, tornReads);
  int found = 0;
  char name[64];
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = sizeof name;
    if (RegEnumValueA(reader, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ++found;
  }
  EXPECT_EQ(writers * valuesEach, found);
  RegCloseKey(reader);
  std::vector<std::string> files;
  ASSERT_TRUE(platform::ListFolder(platform::StateFolder() + "/registry", files));
  EXPECT_EQ((std::vector<std::string>{"HKLM", "HKLM.lock"}), files);
}
