#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/Nvm.h"
#include "tests/support/TempMachineRoot.h"

namespace {

void StoreRaw(const char* subKey, const char* name, DWORD type, const std::string& bytes) {
  HKEY key = nullptr;
  std::string path = kAgentKeyPath;
  if (subKey) path += std::string("\\") + subKey;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// The stored type and bytes of a value of the agent key; type 0 when it is missing.
std::pair<DWORD, std::string> LoadRaw(const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return {0, ""};
  char data[4096];
  DWORD type = 0;
  DWORD size = sizeof data;
  const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? std::make_pair(type, std::string(data, size)) : std::make_pair(DWORD{0}, std::string());
}

std::string DwordBytes(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

}  // namespace

TEST(Nvm, OpenedForWritingCreatesTheKeyAndMissingValuesWithTheirDefaults) {
  cTempMachineRoot root;
  {
    NvmVarlo nvm;
    ASSERT_TRUE(nvm.IsOpen());
    uint32_t status = 0, autoUpdate = 1, mask = 0xFFFFFFFF;
    EXPECT_EQ(nvm.GetDword(NvmVarlo::Status, status), 1);
    EXPECT_EQ(nvm.GetDword(NvmVarlo::AutoUpdate, autoUpdate), 1);
    EXPECT_EQ(nvm.GetDword(NvmVarlo::EventChannelMask, mask), 1);
    std::string rc;
    EXPECT_EQ(nvm.GetString(NvmVarlo::RC, rc), 1);
    EXPECT_EQ(nvm.GetDword(NvmVarlo::Status, status), 0);
  }
  EXPECT_EQ(LoadRaw("Status"), std::make_pair(REG_DWORD, DwordBytes(0)));
  EXPECT_EQ(LoadRaw("AutoUpdate"), std::make_pair(REG_DWORD, DwordBytes(1)));
  EXPECT_EQ(LoadRaw("EventChannelMask"), std::make_pair(REG_DWORD, DwordBytes(0xFFFFFFFF)));
  EXPECT_EQ(LoadRaw("RC"), std::make_pair(REG_SZ, std::string(1, '\0')));

  // Another process sees what this one stored.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NvmVarlo nvm(0);
    uint32_t autoUpdate = 0;
    _exit(nvm.GetDword(NvmVarlo::AutoUpdate, autoUpdate) == 0 && autoUpdate == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Nvm, ReadOnlyObjectsNeverCreate) {
  cTempMachineRoot root;
  NvmDomain domain;
  EXPECT_FALSE(domain.IsOpen());
  std::string text = "kept";
  EXPECT_EQ(domain.GetString(NvmDomain::Apis, text), -1);
  EXPECT_EQ(text, "kept");

  StoreRaw("ModVarlo", "Seq", REG_DWORD, DwordBytes(3));
  NvmModVarlo modVarlo(0);
  ASSERT_TRUE(modVarlo.IsOpen());
  uint32_t active = 1;
  EXPECT_EQ(modVarlo.GetDword(NvmModVarlo::Active, active), -1);
  EXPECT_EQ(active, 1u);
  uint32_t seq = 0;
  EXPECT_EQ(modVarlo.GetDword(NvmModVarlo::Seq, seq), 0);
  EXPECT_EQ(seq, 3u);
}

TEST(Nvm, ValueTooLongForItsBufferIsAFailureAndIsNotWrittenBack) {
  cTempMachineRoot root;
  const std::string longText = std::string(cNvm::kStringBufferBytes, 'k') + '\0';
  StoreRaw(nullptr, "LicenseKey", REG_SZ, longText);
  StoreRaw(nullptr, "Status", REG_QWORD, std::string(8, '\x01'));
  {
    NvmVarlo nvm;
    std::string key = "default";
    EXPECT_EQ(nvm.GetString(NvmVarlo::LicenseKey, key), -2);
    EXPECT_EQ(key, "default");
    uint32_t status = 7;
    EXPECT_EQ(nvm.GetDword(NvmVarlo::Status, status), -1);
    EXPECT_EQ(status, 7u);
  }
  EXPECT_EQ(LoadRaw("LicenseKey"), std::make_pair(REG_SZ, longText));
  EXPECT_EQ(LoadRaw("Status").second, std::string(8, '\x01'));

  // The longest text that fits, NUL included, still reads.
  const std::string fitting = std::string(cNvm::kStringBufferBytes - 1, 'f');
  StoreRaw(nullptr, "AgentId", REG_SZ, fitting + '\0');
  NvmVarlo nvm;
  std::string id;
  EXPECT_EQ(nvm.GetString(NvmVarlo::AgentId, id), 0);
  EXPECT_EQ(id, fitting);
}

TEST(Nvm, WritesKeepTheirTypesAndTextsEndAtTheirFirstNul) {
  cTempMachineRoot root;
  {
    NvmVarlo nvm;
    EXPECT_EQ(nvm.SetString(NvmVarlo::IpAddr, "10.0.0.5"), 0);
    EXPECT_EQ(nvm.SetDword(NvmVarlo::Status, 2), 0);
    EXPECT_EQ(nvm.SetQword(NvmVarlo::UploadTime, 0x0102030405060708ull), 0);
  }
  EXPECT_EQ(LoadRaw("IpAddr"), std::make_pair(REG_SZ, std::string("10.0.0.5", 9)));
  EXPECT_EQ(LoadRaw("UploadTime").first, REG_QWORD);
  StoreRaw(nullptr, "Proxy", REG_SZ, std::string("proxy:8080\0junk", 15));
  NvmVarlo nvm;
  std::string proxy;
  EXPECT_EQ(nvm.GetString("proxy", proxy), 0);  // names compare without regard to case
  EXPECT_EQ(proxy, "proxy:8080");
  uint64_t uploadTime = 0;
  EXPECT_EQ(nvm.GetQword(NvmVarlo::UploadTime, uploadTime), 0);
  EXPECT_EQ(uploadTime, 0x0102030405060708ull);
}

TEST(Nvm, GetUrlParsesServerUrls) {
  const struct {
    const char* url;  // null: the value is missing
    int result;
    const wchar_t* host;  // null: the host is left untouched
    int secure;
    int port;
  } cases[] = {
      {"https://api.example.test:8443/path", 0, L"api.example.test", 1, 8443},
      {"http://api.example.test/path/more", 0, L"api.example.test", 0, 80},
      {"http://api.example.test:8080", 0, L"api.example.test", 0, 8080},
      {" \t\r\nhttps://blank.example.test", 0, L"blank.example.test", 1, 443},
      {"abcd://only.the.length.counts", 0, L"only.the.length.counts", 0, 80},
      {"https://h.example.test:port/x", 0, L"h.example.test", 1, 443},
      {"http://h.example.test:", 0, L"h.example.test", 0, 80},
      {"https://h.example.test/p:99", 0, L"h.example.test/p", 1, 99},
      {"https://h.example.test\n", 0, L"h.example.test\n", 1, 443},
      {"api.example.test", -2, nullptr, 1, 443},
      {"ftp://h.example.test", -2, nullptr, 1, 443},
      {"sftps://h.example.test", 0, L"h.example.test", 1, 443},
      {"httpss://h.example.test", -2, nullptr, 1, 443},
      {"https:/h.example.test", -2, nullptr, 1, 443},
      {"", -1, nullptr, 1, 443},
      {nullptr, -1, nullptr, 1, 443},
  };
  for (const auto& c : cases) {
    cTempMachineRoot root;
    StoreRaw("Domain", "Other", REG_SZ, std::string(1, '\0'));
    if (c.url) StoreRaw("Domain", "Apis", REG_SZ, std::string(c.url) + '\0');
    NvmDomain nvm;
    std::wstring host = L"untouched";
    int secure = -1, port = -1;
    EXPECT_EQ(nvm.GetUrl(NvmDomain::Apis, host, secure, port), c.result) << (c.url ? c.url : "(missing)");
    EXPECT_EQ(host, c.host ? c.host : L"untouched") << (c.url ? c.url : "(missing)");
    EXPECT_EQ(secure, c.secure) << (c.url ? c.url : "(missing)");
    EXPECT_EQ(port, c.port) << (c.url ? c.url : "(missing)");
  }
}
