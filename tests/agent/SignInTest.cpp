// Signing in, the loop's read time-outs and the collection switches, against the fake servers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Files.h"
#include "tests/agent/AgentFixture.h"

namespace {

using SignInTest = cAgentTest;

TEST_F(SignInTest, SignInStoresTheStatusAndAgentKeyAndTellsTheTrays) {
  ScriptSignIn();
  StartService();
  cFakeTray tray(3);
  ASSERT_EQ(m_Service->m_UI.AddUser(3, geteuid()), 0);
  m_Service->m_Status = 1;

  EXPECT_EQ(m_Service->Login(), 1);

  EXPECT_EQ(m_Service->m_Status, 2);
  EXPECT_EQ(RegistryDword("Status"), 2u);
  EXPECT_EQ(RegistryString("AgentId"), kAgentKey);
  EXPECT_EQ(m_Service->m_ReadTimeoutMs, 6000u);
  cMessage status{MSG_SVC_STATUS, 2};
  status.insert(status.end(), kAgentAddress, kAgentAddress + sizeof kAgentAddress);
  EXPECT_EQ(tray.Next(), status);
  // The first job pass asks for the configuration at once.
  const auto calls = ServerCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], "POST /pauth/login/agent");
  EXPECT_EQ(calls[1], "GET /pserver/agent/cmd/defenseall");
}

TEST_F(SignInTest, EveryFourthFailedSignInBacksOffTenMinutes) {
  StartService();
  m_Service->m_Status = 1;
  m_Server.Stop();

  std::vector<DWORD> timeouts;
  for (int attempt = 0; attempt < 5; ++attempt) {
    EXPECT_EQ(m_Service->Login(), 0);
    timeouts.push_back(m_Service->m_ReadTimeoutMs);
  }

  EXPECT_EQ(timeouts, (std::vector<DWORD>{5000, 5000, 5000, 600000, 5000}));
  EXPECT_EQ(m_Service->m_Status, 1);
}

TEST_F(SignInTest, ASuccessInBetweenResetsTheFailureCount) {
  StartService();
  m_Service->m_Status = 1;
  m_Server.Script(
      "POST", "/pauth/login/agent",
      {{200, R"({"returnCode":"1"})"},
       {200, R"({"returnCode":"1"})"},
       {200, std::string(R"({"returnCode":"0","ipKey":")") + kAgentKey + R"(","authKey":"s"})"},
       {200, R"({"returnCode":"1"})"}});
  std::vector<DWORD> timeouts;
  for (int attempt = 0; attempt < 6; ++attempt) {
    m_Service->Login();
    timeouts.push_back(m_Service->m_ReadTimeoutMs);
  }
  EXPECT_EQ(timeouts, (std::vector<DWORD>{5000, 5000, 6000, 5000, 5000, 5000}));
}

TEST_F(SignInTest, OneTimeScriptsRunOnlyAtTheFirstSignInOfTheProcess) {
  ScriptSignIn();
  m_Server.Script("GET", "/pserver/agent/cmd/defenseall",
                  {200, R"({"returnCode":"0","result":{"agentDefenseCmdIds":[7]}})"});
  StartService();
  m_Service->m_Status = 1;
  ASSERT_EQ(m_Service->Login(), 1);
  ASSERT_EQ(m_Service->Login(), 1);

  int fetches = 0, acks = 0;
  for (const std::string& call : ServerCalls()) {
    fetches += call == "GET /pserver/agent/cmd/defenseall";
    acks += call == "PUT /pserver/agent/cmd/defense";
  }
  EXPECT_EQ(fetches, 1);
  EXPECT_EQ(acks, 1);
  EXPECT_EQ(m_Tools.Calls("cmd"), std::vector<std::string>{"cmd /c defense-all.bat"});
}

TEST_F(SignInTest, AScriptLeftFromAnEarlierRunIsNotRunAgain) {
  ScriptSignIn();
  // Ids but no script.
  m_Server.Script("GET", "/pserver/agent/cmd/defenseall",
                  {200, R"({"returnCode":"0","result":{"agentDefenseCmdIds":[7]}})"});
  StartService();
  const std::string stale = m_Service->m_AgentInfo.m_InstallDir + "\\defense-all.bat";
  ASSERT_TRUE(platform::WriteFileAtomically(stale, "echo stale"));
  m_Service->m_Status = 1;

  ASSERT_EQ(m_Service->Login(), 1);

  EXPECT_FALSE(platform::FileExists(stale));
}

TEST_F(SignInTest, SwitchingSysLogOffRightAfterSignInCountsAsAChange) {
  ScriptSignIn();
  StartService();
  cFakeTray tray(1);
  ASSERT_EQ(m_Service->m_UI.AddUser(1, geteuid()), 0);
  m_Service->m_Sys = -1;

  EXPECT_EQ(m_Service->LogConf(0), 2);
  EXPECT_EQ(m_Service->LogConf(0), 0);

  EXPECT_EQ(tray.Drain(), std::vector<cMessage>({{MSG_SVC_SYSLOG, 0}}));
}

TEST_F(SignInTest, SwitchingSysLogOnMovesDeferredScriptsIntoTheJobs) {
  ScriptSignIn();
  StartService();
  m_Service->m_Sys = 0;
  m_Service->m_DeferredJobs = 0x2 | 0x8;

  EXPECT_EQ(m_Service->LogConf(1), 1);

  EXPECT_EQ(m_Service->m_JobMask & 0xE, 0xAu);
  EXPECT_EQ(m_Service->m_DeferredJobs, 0u);
}

TEST_F(SignInTest, SwitchingWebLogOnStartsTheWebSideEvenWithSysLogOff) {
  SignInWithSysLogOn();
  ASSERT_EQ(m_Service->LogConf(0), 2);
  m_Server.ClearRequests();

  EXPECT_EQ(m_Service->LogConfWeb(1), 1);

  EXPECT_TRUE(m_Service->m_WebLogSvc.Running());
  const auto calls = ServerCalls();
  for (const char* list :
       {"GET /pfilter/agent/conf/logmasking", "GET /pfilter/agent/webextendsfilters",
        "GET /pfilter/agent/conf/wafexcept", "GET /pfilter/agent/conf/webuploadexcept"})
    EXPECT_NE(std::find(calls.begin(), calls.end(), list), calls.end()) << list;

  EXPECT_EQ(m_Service->LogConfWeb(0), 2);
  EXPECT_FALSE(m_Service->m_WebLogSvc.Running());
}

}  // namespace
