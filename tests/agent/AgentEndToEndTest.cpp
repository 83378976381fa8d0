// The real service in a temporary machine root against the fake servers: what a lost session, a
// removal order and the own-resource watchdog do to the running service.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "VarloService/service/VarloService.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "tests/agent/AgentFixture.h"
#include "tests/support/InstalledAgent.h"
#include "tests/support/Occurrences.h"

namespace {

constexpr char kSignedIn[] = R"({"returnCode":"0","ipKey":"agent-key-1","authKey":"session-1"})";

class AgentEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Authority.InstallAsTrusted());
    ASSERT_TRUE(m_Server.Start());
    NvmVarlo settings;
    settings.SetString(NvmVarlo::LicenseKey, kAccountKey);
    settings.SetDword(NvmVarlo::Status, 1);
    SetRegistryString(std::string(kAgentKeyPath) + "\\Domain", "Apis", m_Server.Url());
  }

  // The running service may still call the server: it stops answering before it is destroyed.
  void TearDown() override { m_Server.Stop(); }

  void StartService() {
    cRunResult started = m_Agent.Run("sc.exe start VARLO");
    ASSERT_EQ(started.exitCode, 0) << started.output;
    ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING)) << m_Agent.Log();
  }

  size_t SignIns() const {
    size_t count = 0;
    for (const cRecordedRequest& request : m_Server.Requests())
      count += request.path == "/pauth/login/agent";
    return count;
  }

  cInstalledAgent m_Agent;
  cTestCertificateAuthority m_Authority;
  cFakeManagementServer m_Server{&m_Authority};
};

TEST_F(AgentEndToEndTest, ASessionDroppedByTheServerIsNoticedOnceAndTheNextPassSignsInAgain) {
  // The sign-in after the drop fails, so Status 1 stays visible.
  m_Server.Script("POST", "/pauth/login/agent", {{200, kSignedIn}, {200, R"({"returnCode":"1"})"}});
  m_Server.Script("GET", "/pserver/agent/agentjob", {200, R"({"returnCode":"99001"})"});

  StartService();

  ASSERT_TRUE(WaitUntil(30000, [this] { return SignIns() >= 3; })) << m_Agent.Log();
  const std::string log = m_Agent.Log();
  EXPECT_EQ(Occurrences(log, "m_Api.SessionExpired()!!!"), 1u) << log;
  NvmVarlo settings(0);
  uint32_t status = 0;
  settings.GetDword(NvmVarlo::Status, status);
  EXPECT_EQ(status, 1u);
}

TEST_F(AgentEndToEndTest, ARemovalOrderStartsTheUninstallerAndStopsWithoutStopPending) {
  m_Server.Script("POST", "/pauth/login/agent", {200, kSignedIn});
  m_Server.Script("GET", "/pserver/agent/agentjob", {200, R"({"returnCode":"98000"})"});
  const std::string uninstalled = m_Agent.Root() + "/uninstalled";
  const std::string uninstaller = platform::MapPath("C:\\Program Files\\VARLO\\VarloUninstall.exe");
  ASSERT_TRUE(platform::WriteFileAtomically(uninstaller,
                                            "#!/bin/sh\necho \"$@\" > '" + uninstalled + "'\n"));
  chmod(uninstaller.c_str(), 0755);

  StartService();

  ASSERT_TRUE(m_Agent.WaitForState(SERVICE_STOPPED, 30000)) << m_Agent.Log();
  EXPECT_TRUE(WaitUntil(10000, [&] { return platform::FileExists(uninstalled); }));
  std::string arguments;
  platform::ReadWholeFile(uninstalled, arguments);
  EXPECT_EQ(arguments, "/S\n");
  const auto reports = m_Agent.Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[2].rfind("STOPPED", 0), 0u) << reports[2];
  EXPECT_EQ(reports[1].rfind("RUNNING", 0), 0u) << reports[1];
}

TEST_F(AgentEndToEndTest, TheOwnResourceWatchdogBringsTheServiceBackThroughSc) {
  NvmVarlo(1).SetDword(NvmVarlo::Status, 0);
  StartService();
  const int first = m_Agent.State().processId;
  platform::cManualClock clock;
  cVarloService watched(clock);
  watched.Init();
  watched.m_Status = 2;
  watched.m_OwnMemoryLimit = 1;

  for (int check = 0; check < 3; ++check) {
    clock.Advance(61 * 1000);
    watched.SvcProc();
  }

  EXPECT_EQ(watched.CmdLoop(), -1) << "the watched loop ends";
  ASSERT_TRUE(m_Agent.WaitForExit(first, 30000));
  ASSERT_TRUE(WaitUntil(30000, [&] {
    const platform::cServiceState state = m_Agent.State();
    return state.state == SERVICE_RUNNING && state.processId != first;
  })) << m_Agent.Log();
}

}  // namespace
