#include <gtest/gtest.h>

#include <filesystem>

#include "Varlo/TraySettings.h"
#include "Varlo/VarloWnd.h"
#include "common/AnswerLimits.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FakeRepository.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/tray/TrayFixture.h"

namespace {

std::string AgentString(const char* name) {
  NvmVarloUi settings(0);
  std::string text = "<missing>";
  settings.GetString(name, text);
  return text;
}

void CreateKey(const char* path) {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegCloseKey(key);
}

}  // namespace

TEST(TraySettingsTest, ProxyImportCopiesAnEnabledUserProxy) {
  cTempMachineRoot root;
  SetUserProxy(1, "proxy.corp:8080", "*.corp;<local>");
  EXPECT_EQ(LoadProxyConfig(), 0);
  EXPECT_EQ(AgentString("Proxy"), "proxy.corp:8080");
  EXPECT_EQ(AgentString("ProxyBypass"), "*.corp;<local>");
}

TEST(TraySettingsTest, ProxyImportWritesEmptyTextsWithoutAProxy) {
  for (bool userKey : {false, true}) {
    cTempMachineRoot root;
    if (userKey) SetUserProxy(0, "proxy.corp:8080", "*.corp");
    EXPECT_EQ(LoadProxyConfig(), 0);
    // Present though empty, so the import is not repeated.
    EXPECT_EQ(AgentString("Proxy"), "");
    EXPECT_EQ(AgentString("ProxyBypass"), "");
    HKEY user = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ, &user) == ERROR_SUCCESS) {
      EXPECT_EQ(RegQueryValueExA(user, "Proxy", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
      RegCloseKey(user);
    }
  }
}

TEST(TraySettingsTest, SysmonIsFoundUnderEitherServiceKey) {
  struct {
    const char* key;
    int installed;
  } cases[] = {{nullptr, 0},
               {"SYSTEM\\CurrentControlSet\\Services\\Sysmon", 1},
               {"SYSTEM\\CurrentControlSet\\Services\\Sysmon64", 1},
               {"SYSTEM\\CurrentControlSet\\Services\\SysmonDrv", 0}};
  for (const auto& each : cases) {
    cTempMachineRoot root;
    if (each.key) CreateKey(each.key);
    EXPECT_EQ(IsSysmonInstalled(), each.installed) << (each.key ? each.key : "none");
  }
}

class ModuleUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Authority.Valid());
    ASSERT_TRUE(m_Authority.InstallAsTrusted());
    ASSERT_TRUE(m_Repository.Start());
    m_Wnd.m_RepoClient.SetEndpoint(L"127.0.0.1", static_cast<INTERNET_PORT>(m_Repository.Port()));
    m_Wnd.m_Status = 2;
    m_Wnd.m_SysLog = 1;
    m_Wnd.m_WebLog = 1;
    ASSERT_TRUE(platform::CreateFolders("C:\\ModVarlo"));
    ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", "1.0\r\n"));
  }

  cTempMachineRoot m_Root;
  cTestCertificateAuthority m_Authority;
  cFakeRepository m_Repository{&m_Authority};
  cVarloWnd m_Wnd;
};

TEST_F(ModuleUpdateTest, ComparesThePublishedVersionWithTheInstalledOne) {
  struct {
    const char* published;
    int status;
    int update;
  } cases[] = {{"1.0\r\n", 200, 0}, {"1.0\n", 200, 0}, {"1.0", 200, 0}, {"1.1\r\n", 200, 1},
               {"1.0\n\n", 200, 1}, {"", 200, 0},     {"1.1", 404, 0}};
  for (const auto& each : cases) {
    m_Repository.AddFile("/v4/module/iis/version", each.published, each.status);
    EXPECT_EQ(m_Wnd.CheckModuleUpdate(), each.update) << '"' << each.published << "\" " << each.status;
  }
}

TEST_F(ModuleUpdateTest, AnAnswerBeyondAVersionLineIsAFailedCheckAndLogged) {
  cCapturedLog log;
  const std::string refusal = "answer of /v4/module/iis/version refused: over 4096 bytes";
  struct {
    const char* name;
    cScriptedAnswer answer;
    int update;
  } cases[] = {
      {"a line at the bound", cScriptedAnswer::Oversized("1.1", " ", kLineAnswer.maxBytes), 1},
      {"one byte more", cScriptedAnswer::Oversized("1.1", " ", kLineAnswer.maxBytes + 1), 0},
      {"without end", cScriptedAnswer::Endless("1.1", " "), 0},
  };
  for (const auto& each : cases) {
    m_Repository.Script("GET", "/v4/module/iis/version", each.answer);
    const size_t refusals = log.Count(refusal);
    EXPECT_EQ(m_Wnd.CheckModuleUpdate(), each.update) << each.name;
    EXPECT_EQ(log.Count(refusal), refusals + (each.update ? 0 : 1)) << each.name << "\n" << log.Text();
  }
}

// A damaged version file, however large, costs no more than a version line; a first line too
// long for one is no installed version, so there is nothing to update.
TEST_F(ModuleUpdateTest, TheInstalledVersionIsReadNoFurtherThanAVersionLine) {
  cCapturedLog log;
  const std::string refusal = "C:\\ModVarlo\\version refused: first line over 4096 bytes";
  m_Repository.AddFile("/v4/module/iis/version", "1.1");
  const std::string path = platform::MapPath("C:\\ModVarlo\\version");
  std::filesystem::resize_file(path, 0);
  std::filesystem::resize_file(path, int64_t{1} << 30);
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 0);
  EXPECT_EQ(log.Count(refusal), 1u);
  EXPECT_TRUE(m_Repository.Requests().empty());

  ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", "1.0\r\n"));
  std::filesystem::resize_file(path, int64_t{1} << 30);
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 1);
  EXPECT_EQ(log.Count(refusal), 1u);
}

TEST_F(ModuleUpdateTest, NeedsSignInBothSwitchesAndAnInstalledModule) {
  m_Repository.AddFile("/v4/module/iis/version", "2.0");
  m_Wnd.m_SysLog = 0;
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 0);
  m_Wnd.m_SysLog = 1;
  m_Wnd.m_WebLog = 0;
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 0);
  m_Wnd.m_WebLog = 1;
  m_Wnd.m_Status = 1;
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 0);
  m_Wnd.m_Status = 2;
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", ""));
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 0);
  EXPECT_TRUE(m_Repository.Requests().empty());  // none of these went to the network
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", "1.0"));
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 1);
  ASSERT_EQ(m_Repository.Requests().size(), 1u);
  EXPECT_EQ(m_Repository.Requests()[0].Header("User-Agent"), "Varlo Agent/5");
}

TEST_F(ModuleUpdateTest, NoRepositoryMeansNoUpdate) {
  m_Repository.Stop();
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 0);
}

// A Proxy too long to read is a proxy that cannot be used, not none: the check sends nothing.
TEST_F(ModuleUpdateTest, AProxyThatCannotBeReadLetsNothingGoOutDirectly) {
  cCapturedLog log;
  m_Repository.AddFile("/v4/module/iis/version", "2.0");
  StoreAgentProxy(std::string(20012, 'p'));
  m_Wnd.LoadProxy();
  EXPECT_EQ(m_Wnd.CheckModuleUpdate(), 0);
  EXPECT_EQ(m_Repository.AcceptedConnections(), 0u);
  EXPECT_TRUE(log.Has("the setting Proxy is there but cannot be read")) << log.Text();
}
