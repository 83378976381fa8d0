// The job poll and the handling of the job bits, in their order, against the fake servers.
#include <gtest/gtest.h>

#include <algorithm>

#include "VarloService/service/Isolation.h"
#include "platform/Files.h"
#include "tests/agent/AgentFixture.h"

namespace {

using JobsTest = cAgentTest;

std::vector<std::string> ShutdownRequests() {
  std::string log;
  platform::ReadWholeFile(platform::StateFolder() + "/shutdown.log", log);
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < log.size(); start = end + 1) {
    end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    lines.push_back(log.substr(start, end - start));
  }
  return lines;
}

TEST_F(JobsTest, AJobListIsHandledInTheFixedOrderAndUnknownBitsStay) {
  SignInWithSysLogOn();
  m_Server.Script("GET", "/pserver/agent/cmd/defense",
                  {200, R"({"returnCode":"0","result":{"agentDefenseCmdIds":[11],"script":")" +
                            cFakeManagementServer::Packed("echo defend\r\n") + R"("}})"});
  m_Server.Script("GET", "/pfilter/agent/cmd/audit",
                  {200, R"({"returnCode":"0","result":{"agentAuditCmdIds":[12],"script":")" +
                            cFakeManagementServer::Packed("win-audit 1\n") + R"("}})"});
  // Listed in another order than they are handled.
  ScriptJobs(
      {{"hostShutdown", "vulnerability", "audit", "hostIsolate", "defense", "edrConf", "logConf"}});

  EXPECT_EQ(m_Service->JobEvent(), 1);

  EXPECT_EQ(ServerCalls(), (std::vector<std::string>{
                               "GET /pserver/agent/agentjob",
                               "GET /pserver/agent/conf/syslog",
                               "GET /pserver/agent/conf/weblog",
                               "GET /pserver/agent/conf/systemresource",
                               "GET /pserver/agent/conf/systemversion",
                               "GET /pserver/agent/edr/conf",
                               "GET /pserver/agent/cmd/defense",
                               "PUT /pserver/agent/cmd/defense",
                               "GET /pfilter/agent/cmd/audit",
                               "PUT /pfilter/agent/cmd/audit",
                               "POST /pserver/agent/shutdown",
                           }));
  // The remote-control file is read from the repository after the configuration.
  ASSERT_EQ(m_Repository.Requests().size(), 1u);
  EXPECT_EQ(m_Repository.Requests()[0].path, std::string("/client/") + kAccountKey);
  const auto commands = m_Tools.Calls();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], "cmd /c defense.bat");
  EXPECT_EQ(commands[1], "netsh advfirewall export " +
                             GetFirewallBackupPath(m_Service->m_AgentInfo.m_InstallDir));
  EXPECT_EQ(ShutdownRequests().size(), 1u);
  // Scripts are removed once run; the audit script leaves its PowerShell form.
  const std::string& installDir = m_Service->m_AgentInfo.m_InstallDir;
  EXPECT_FALSE(platform::FileExists(installDir + "\\defense.bat"));
  EXPECT_FALSE(platform::FileExists(installDir + "\\audit"));
  EXPECT_EQ(ReadFile(installDir + "\\audit.ps1"), "win-audit 1\r\n");
  EXPECT_EQ(m_Service->m_JobMask, 0x80000000u);

  // Without a handler the bit is shown again in the next pass's line.
  m_Server.ClearRequests();
  ScriptJobs({{}});
  EXPECT_EQ(m_Service->JobEvent(), 1);
  EXPECT_EQ(m_Service->m_JobMask, 0x80000000u);
}

TEST_F(JobsTest, APollWithoutDataHandlesTheAgentsOwnBitsAndAFailedPollHandlesNothing) {
  SignInWithSysLogOn();
  constexpr char kNoData[] = R"({"returnCode":"0","dataNotFoundCode":"1"})";
  constexpr char kFailed[] = R"({"returnCode":"50000"})";
  constexpr uint32_t kNoHandler = 0x80000000;
  struct cCase {
    const char* answer;
    uint32_t maskBefore;
    int result;
    uint32_t maskAfter;
    bool configurationFetched;
  };
  const cCase cases[] = {
      // The sign-in's configuration bit is the agent's own: the poll's answer does not hold it up.
      {kNoData, 0x1 | kNoHandler, 1, kNoHandler, true},
      {kNoData, kNoHandler, 0, kNoHandler, false},
      {kFailed, 0x1, 0, 0x1, false},
  };
  for (const cCase& test : cases) {
    m_Server.ClearRequests();
    m_Server.Script("GET", "/pserver/agent/agentjob", {200, test.answer});
    m_Service->m_JobMask = test.maskBefore;

    EXPECT_EQ(m_Service->JobEvent(), test.result) << test.answer;

    EXPECT_EQ(m_Service->m_JobMask, test.maskAfter) << test.answer;
    const auto calls = ServerCalls();
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "GET /pserver/agent/conf/syslog") != calls.end(),
              test.configurationFetched)
        << test.answer;
  }
}

TEST_F(JobsTest, WebListJobsFetchTheirListsInOrderOnlyWhileBothCollectionsAreOn) {
  SignInWithSysLogOn();
  for (const int web : {1, 0}) {
    m_Server.ClearRequests();
    m_Service->m_Web = web;
    ScriptJobs({{"logMasking", "wafExcept", "webFilter", "webUploadExcept"}});

    EXPECT_EQ(m_Service->JobEvent(), 1);

    std::vector<std::string> expected = {"GET /pserver/agent/agentjob"};
    if (web == 1) {
      expected.insert(expected.end(), {"GET /pfilter/agent/conf/webuploadexcept",
                                       "GET /pfilter/agent/webextendsfilters",
                                       "GET /pfilter/agent/conf/wafexcept",
                                       "GET /pfilter/agent/conf/logmasking"});
    }
    EXPECT_EQ(ServerCalls(), expected) << "WEB " << web;
  }
}

TEST_F(JobsTest, ScriptJobsWaitWhileSysLogIsOffAndRunWhenTheConfigurationSwitchesItOn) {
  SignInWithSysLogOn();
  m_Service->m_Sys = 0;
  m_Server.Script("GET", "/pserver/agent/conf/syslog",
                  {200, R"({"returnCode":"0","result":{"isUpload":"0"}})"});
  ScriptJobs({{"defense"}});
  EXPECT_EQ(m_Service->JobEvent(), 1);
  EXPECT_EQ(m_Service->m_DeferredJobs, 0x2u);
  EXPECT_EQ(ServerCalls(), std::vector<std::string>{"GET /pserver/agent/agentjob"});

  m_Server.ClearRequests();
  m_Server.Script("GET", "/pserver/agent/conf/syslog",
                  {200, R"({"returnCode":"0","result":{"isUpload":"1"}})"});
  ScriptJobs({{"logConf"}});
  EXPECT_EQ(m_Service->JobEvent(), 1);

  EXPECT_EQ(m_Service->m_DeferredJobs, 0u);
  const auto calls = ServerCalls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "GET /pserver/agent/cmd/defense"), calls.end());
}

TEST_F(JobsTest, FailedFilterFetchesAreRetriedTenTimesInARow) {
  SignInWithSysLogOn();
  m_Server.Script(
      "GET", "/pserver/agent/edr/conf",
      {200, R"({"returnCode":"0","info":{"edrDetectMode":"agent","edrBlockMode":"none"}})"});
  m_Server.Script("GET", "/pfilter/agent/filter", {200, R"({"returnCode":"50000"})"});
  ScriptJobs({{"edrConf"}, {}});
  // Detection switched on: the filters are fetched in the same pass.
  EXPECT_EQ(m_Service->JobEvent(), 1);
  EXPECT_EQ(m_Service->m_JobMask, 0x100u);

  for (int pass = 2; pass <= 11; ++pass) EXPECT_EQ(m_Service->JobEvent(), 1) << pass;

  EXPECT_EQ(m_Service->m_JobMask, 0u);
  int fetches = 0;
  for (const std::string& call : ServerCalls()) fetches += call == "GET /pfilter/agent/filter";
  EXPECT_EQ(fetches, 11);
}

TEST_F(JobsTest, DefenceCommandsAreRunInBlockModeAndTheirIdsReported) {
  SignInWithSysLogOn();
  m_Service->m_EvtLogSvc.SyslogConf(1, 1, 0);
  m_Tools.Add("defend");
  m_Server.Script("GET", "/pserver/agent/edr/edrdefensecmd",
                  {200, R"({"returnCode":"0","result":{"edrDefenseCmdList":[)"
                        R"({"edrDefenseCmdReceiveLogId":31,"edrDefenseCmdType":"defense",)"
                        R"("edrAgentDefenseCommand":"defend now"}]}})"});
  ScriptJobs({{"edrDefenseCmd"}});

  EXPECT_EQ(m_Service->JobEvent(), 1);

  EXPECT_EQ(m_Tools.Calls("defend"), std::vector<std::string>{"defend now"});
  const auto requests = m_Server.Requests();
  const auto response =
      std::find_if(requests.begin(), requests.end(), [](const cRecordedRequest& r) {
        return r.path == "/pserver/agent/edr/edrdefensecmd/response";
      });
  ASSERT_NE(response, requests.end());
  EXPECT_EQ(response->method, "POST");
  EXPECT_NE(response->body.find(R"("edrDefenseCmdReceiveLogIds":[31])"), std::string::npos)
      << response->body;
}

TEST_F(JobsTest, ShutdownAfterTheSessionWasDroppedSendsNothingAndPowersOff) {
  SignInWithSysLogOn();
  // The server ends the session while the configuration is handled, before the shutdown.
  m_Server.Script("GET", "/pserver/agent/conf/syslog", {200, R"({"returnCode":"99001"})"});
  ScriptJobs({{"logConf", "hostShutdown"}});

  EXPECT_EQ(m_Service->JobEvent(), 1);

  EXPECT_TRUE(m_Service->m_Api.SessionExpired());
  const auto calls = ServerCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "POST /pserver/agent/shutdown"), 0);
  EXPECT_EQ(ShutdownRequests().size(), 1u);
}

TEST_F(JobsTest, IsolationModesOfTheServiceObject) {
  StartService();
  // A test word "isolate" without a digit isolates; the export fails with the recording netsh.
  EXPECT_EQ(m_Service->Isolate(-48), -1);
  EXPECT_EQ(m_Tools.Calls("netsh").size(), 1u);
  EXPECT_EQ(m_Service->Isolate(0), -1);
  EXPECT_EQ(m_Service->Isolate(3), 0);
  EXPECT_EQ(ShutdownRequests().size(), 1u);
}

}  // namespace
