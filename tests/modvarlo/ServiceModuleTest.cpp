// The service's module jobs against a fake management server: the web-filter file from the
// server's whole list, the update job with its report, the removal with its notice, and the start
// and stop of the web side with the module's switch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VarloService/modvarlo/WebFilterFile.h"
#include "VarloService/service/VarloService.h"
#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "tests/support/FakeManagementServer.h"
#include "tests/support/FakeRepository.h"
#include "tests/support/RecordingTools.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/TestCertificateAuthority.h"

namespace {

constexpr char kRegistered[] = "MODULE \"ModVarlo\" ( native:ModVarlo )";

class ServiceModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Authority.Valid());
    ASSERT_TRUE(m_Authority.InstallAsTrusted());
    ASSERT_TRUE(m_Server.Start());
    ASSERT_TRUE(m_Repository.Start());
    ASSERT_EQ(0, NvmDomain(1).SetString(NvmDomain::Repo, m_Repository.Url("/")));
    m_Tools.Add("cmd", 0, kRegistered);
    m_Server.Script("POST", "/pauth/login/agent",
                    {200, R"({"returnCode":"0","ipKey":"agent-key-1","authKey":"session-1"})"});
    m_Service.m_AgentInfo.m_LicenseKey = "account-key-1";
    m_Service.m_Api.SetAgentInfo(&m_Service.m_AgentInfo);
    m_Service.m_Repo.SetAgentInfo(&m_Service.m_AgentInfo);
    ASSERT_EQ(0, m_Service.m_Api.Connect(L"127.0.0.1", 1, m_Server.Port()));
    ASSERT_EQ(0, m_Service.m_Api.Login());
    m_Server.ClearRequests();
  }

  // The management server's requests as "METHOD path", token requests left out.
  std::vector<std::string> ServerCalls() const {
    std::vector<std::string> calls;
    for (const cRecordedRequest& request : m_Server.Requests()) {
      if (request.path.find("/csrftoken") == std::string::npos)
        calls.push_back(request.method + " " + request.path);
    }
    return calls;
  }
  const cRecordedRequest LastRequest() const { return m_Server.Requests().back(); }

  static std::string Read(const std::string& path) {
    std::string content;
    return platform::ReadWholeFile(path, content) ? content : "<missing>";
  }

  void PlaceRegisteredModule() {
    ASSERT_TRUE(platform::CreateFolders("C:\\ModVarlo"));
    ASSERT_TRUE(platform::WriteFileAtomically("C:\\ModVarlo\\version", "2.1"));
    m_Service.m_ModVarlo.CheckStat();
    ASSERT_EQ(cModVarlo::StatRegistered, m_Service.m_ModVarlo.m_Stat);
    m_Tools.ClearCalls();
  }

  cTempMachineRoot m_Root;
  cTestCertificateAuthority m_Authority;
  cFakeManagementServer m_Server{&m_Authority};
  cFakeRepository m_Repository{&m_Authority};
  cRecordingTools m_Tools{m_Root.Path() + "/tools"};
  platform::cManualClock m_Clock;
  cVarloService m_Service{m_Clock};
};

TEST_F(ServiceModuleTest, TheFilterFileHoldsTheServersWholeListOnlyWhileModuleFilesExist) {
  m_Server.Script(
      "GET", "/pfilter/agent/webextendsfilters",
      {200,
       R"({"returnCode":"0","result":{"list":[{"webExtendsFilterType":"waf","b":1,"a":2}]}})"});
  m_Service.m_ModVarlo.CheckStat();  // no module files
  EXPECT_EQ(0, m_Service.UpdateWebFilterFile());
  EXPECT_TRUE(ServerCalls().empty());
  EXPECT_FALSE(platform::FileExists(kWebFilterFile));

  PlaceRegisteredModule();
  EXPECT_EQ(0, m_Service.UpdateWebFilterFile());
  EXPECT_EQ(std::vector<std::string>{"GET /pfilter/agent/webextendsfilters"}, ServerCalls());
  EXPECT_EQ(std::string::npos, LastRequest().query.find("webExtendsFilterType"));
  const std::string text = R"([{"a":2,"b":1,"webExtendsFilterType":"waf"}])";
  const std::string file = Read(kWebFilterFile);
  ASSERT_EQ(text.size() + SHA256_DIGEST_BYTES, file.size());
  EXPECT_EQ(text, file.substr(0, text.size()));

  m_Server.Script("GET", "/pfilter/agent/webextendsfilters", {200, R"({"returnCode":"0"})"});
  EXPECT_EQ(0, m_Service.UpdateWebFilterFile());
  EXPECT_EQ("[]", Read(kWebFilterFile).substr(0, 2));
  EXPECT_EQ(34u, Read(kWebFilterFile).size());

  m_Server.Script("GET", "/pfilter/agent/webextendsfilters", {200, R"({"returnCode":"12345"})"});
  EXPECT_EQ(-5, m_Service.UpdateWebFilterFile());
  EXPECT_EQ(34u, Read(kWebFilterFile).size());
}

TEST_F(ServiceModuleTest, TheUpdateJobReportsItsOutcomeForTheServersJobId) {
  m_Server.Script("GET", "/pserver/agent/update/modvarlo",
                  {200, R"({"returnCode":"0","agentExecuteLogId":41})"});
  m_Service.m_ModVarlo.CheckStat();  // no module files, and nothing in the repository
  EXPECT_EQ(-11, m_Service.ModVarloUpdate());
  EXPECT_EQ((std::vector<std::string>{"GET /pserver/agent/update/modvarlo",
                                      "PUT /pserver/agent/update/modvarlo"}),
            ServerCalls());
  EXPECT_NE(std::string::npos,
            LastRequest().body.find(R"("agentExecuteLogId":41,"returnCode":"40")"));

  m_Repository.AddPackage(
      "/v4/module/iis/",
      {{"version", "2.1"}, {"32/ModVarlo.dll", "image-32"}, {"64/ModVarlo.dll", "image-64"}});
  m_Server.ClearRequests();
  EXPECT_EQ(1, m_Service.ModVarloUpdate());
  EXPECT_NE(std::string::npos,
            LastRequest().body.find(R"("agentExecuteLogId":41,"returnCode":"30")"));
  // The module's type and version travel in the headers from now on.
  EXPECT_EQ("ModVarlo-IIS", LastRequest().Header("BreltModVarloType"));
  EXPECT_EQ("2.1", LastRequest().Header("BreltModVarloVersion"));
}

TEST_F(ServiceModuleTest, RemovalUnregistersTellsTheServerAndSwitchesWebLogsOff) {
  PlaceRegisteredModule();
  EXPECT_EQ(1, m_Service.ModVarloUninstall());
  const std::string appcmd = "cmd /c %windir%\\system32\\inetsrv\\appcmd ";
  EXPECT_EQ((std::vector<std::string>{appcmd + "uninstall module /module.name:ModVarlo32",
                                      appcmd + "uninstall module /module.name:ModVarlo",
                                      appcmd + "list module /name:ModVarlo"}),
            m_Tools.Calls("cmd"));
  const std::vector<std::string> calls = ServerCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ("PUT /pserver/agent/modvarlostatus", calls[0]);
  EXPECT_EQ(R"({"csrfTokenKey":"pserver-)", m_Server.Requests()[1].body.substr(0, 25));
  EXPECT_NE(std::string::npos,
            m_Server.Requests()[1].body.find(R"(,"ipKey":"agent-key-1","authKey":"session-1"})"));
  EXPECT_EQ(0, m_Service.m_Web);
  EXPECT_TRUE(platform::FileExists("C:\\ModVarlo\\version"));  // the files stay

  // Not registered: nothing to unregister, and the server is told all the same.
  m_Server.ClearRequests();
  m_Tools.Add("cmd", 0, "");
  m_Service.m_ModVarlo.CheckStat();
  m_Tools.ClearCalls();
  EXPECT_EQ(0, m_Service.ModVarloUninstall());
  EXPECT_EQ((std::vector<std::string>{
                "cmd /c %windir%\\system32\\inetsrv\\appcmd list module /name:ModVarlo"}),
            m_Tools.Calls("cmd"));
  EXPECT_EQ(std::vector<std::string>{"PUT /pserver/agent/modvarlostatus"}, ServerCalls());
}

TEST_F(ServiceModuleTest, TheWebSideStartsWithTheModuleAndItsFilterFileAndStopsWithItsSwitch) {
  m_Server.Script("GET", "/pfilter/agent/webextendsfilters",
                  {200, R"({"returnCode":"0","result":{"list":[{"webExtendsFilterId":1}]}})"});
  PlaceRegisteredModule();
  ASSERT_EQ(0, NvmModVarlo(1).SetDword(NvmModVarlo::Active, 0));
  EXPECT_EQ(1, m_Service.LogConfWeb(1));
  EXPECT_TRUE(m_Service.m_WebLogSvc.Running());
  EXPECT_EQ(R"([{"webExtendsFilterId":1}])", Read(kWebFilterFile).substr(0, 26));
  NvmModVarlo settings(0);
  uint32_t active = 9, sequence = 9;
  EXPECT_EQ(0, settings.GetDword(NvmModVarlo::Active, active));
  EXPECT_EQ(0, settings.GetDword(NvmModVarlo::Seq, sequence));
  EXPECT_EQ(1u, active);
  EXPECT_EQ(1u, sequence);
  settings.Close();

  EXPECT_EQ(2, m_Service.LogConfWeb(0));
  EXPECT_FALSE(m_Service.m_WebLogSvc.Running());
  NvmModVarlo after(0);
  EXPECT_EQ(0, after.GetDword(NvmModVarlo::Active, active));
  EXPECT_EQ(0, after.GetDword(NvmModVarlo::Seq, sequence));
  EXPECT_EQ(0u, active);
  EXPECT_EQ(2u, sequence);
}

}  // namespace
