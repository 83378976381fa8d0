// The periodic duties of the main loop and the self-update, with a clock that only the test moves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "platform/Files.h"
#include "tests/agent/AgentFixture.h"
#include "tests/support/Occurrences.h"

namespace {

class PeriodicTest : public cAgentTest {
 protected:
  int CountCalls(const std::string& call) const {
    const auto calls = ServerCalls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }
  std::string InstallPath(const char* name) const {
    return m_Service->m_AgentInfo.m_InstallDir + "\\" + name;
  }
  // Nothing of a package download is left in the temporary folder.
  bool TempIsEmpty() const {
    std::vector<std::string> names;
    return platform::ListFolder(m_Service->m_AgentInfo.m_InstallDir + "\\temp", names) &&
           names.empty();
  }
  void PublishVersion(const std::string& text) {
    m_Repository.AddFile("/v4/agent/win/version", text);
  }
};

TEST_F(PeriodicTest, ResourceReportsGoOutAtTheFirstPassThenOnlyAfterMoreThanTheirPeriod) {
  SignInWithSysLogOn();
  m_Service->m_AutoUpdate = 0;
  m_Service->m_ResReportPeriod = 300;
  std::vector<int> reports;
  for (int64_t step : {0, 300, 1, 299, 2}) {
    m_Clock.Advance(step * 1000);
    EXPECT_EQ(m_Service->SvcProc(), 0);
    reports.push_back(CountCalls("POST /pserver/agent/systemresource"));
  }
  EXPECT_EQ(reports, (std::vector<int>{1, 1, 2, 2, 3}));

  m_Service->m_ResReportPeriod = 0;
  m_Clock.Advance(1000 * 1000);
  m_Service->SvcProc();
  EXPECT_EQ(CountCalls("POST /pserver/agent/systemresource"), 3);
}

TEST_F(PeriodicTest, RemovalOrderStartsTheUninstallerInAnyStateAndEndsTheLoop) {
  StartService();
  PlaceRecordingProgram(InstallPath("VarloUninstall.exe"), "VarloUninstall");
  cFakeTray tray(2);
  ASSERT_EQ(m_Service->m_UI.AddUser(2, geteuid()), 0);
  m_Service->m_Status = 1;
  m_Service->m_AgentInfo.m_Uninstall = 1;

  EXPECT_EQ(m_Service->SvcProc(), -98000);

  EXPECT_TRUE(WaitForCall("VarloUninstall /S"));
  EXPECT_EQ(tray.Drain(), std::vector<cMessage>({{MSG_SVC_EXIT, 0}}));
  EXPECT_EQ(m_Service->CmdLoop(), -1);
}

TEST_F(PeriodicTest, EventWatchdogResubscribesAfterMoreThanAMinuteWithoutEvents) {
  SignInWithSysLogOn();
  m_Service->m_AutoUpdate = 0;
  ASSERT_TRUE(m_Service->m_EvtLogSvc.Subscribed() || m_Service->m_EvtLogSvc.AwaitsSubscription());
  const std::string fired = "m_EvtLogSvc.Watchdog()=1";

  m_Clock.Advance(60 * 1000);
  m_Service->SvcProc();
  EXPECT_EQ(ServiceLog().find(fired), std::string::npos);

  m_Clock.Advance(1000);
  m_Service->SvcProc();
  EXPECT_NE(ServiceLog().find(fired), std::string::npos);
}

TEST_F(PeriodicTest, OwnResourceWatchdogRestartsTheServiceAfterThreeChecksOverItsLimits) {
  SignInWithSysLogOn();
  m_Service->m_AutoUpdate = 0;
  const auto check = [this](uint64_t memoryLimit) {
    m_Service->m_OwnMemoryLimit = memoryLimit;
    m_Clock.Advance(61 * 1000);
    m_Service->SvcProc();
    return m_Service->m_OverLimitCount;
  };
  const uint64_t over = 1, under = UINT64_MAX;
  m_Service->m_OwnCpuLimit = 1e9;
  // Over, over, under, over: no restart.
  EXPECT_EQ(check(over), 1);
  EXPECT_EQ(check(over), 2);
  EXPECT_EQ(check(under), 0);
  EXPECT_EQ(check(over), 1);
  // A check within a minute of the last one does not count.
  m_Service->SvcProc();
  EXPECT_EQ(m_Service->m_OverLimitCount, 1);
  EXPECT_TRUE(m_Tools.Calls("cmd").empty());

  EXPECT_EQ(check(over), 2);
  EXPECT_EQ(check(over), 3);

  EXPECT_TRUE(WaitForCall("cmd /c sc stop varlo & sc start varlo"));
  EXPECT_NE(ServiceLog().find("Resource Watchdog RESET !!! CPU="), std::string::npos);
  EXPECT_EQ(m_Service->CmdLoop(), -1);
}

TEST_F(PeriodicTest, NewerVersionWithAVerifiedPackageStartsTheInstallerAndEndsTheLoop) {
  SignInWithSysLogOn();
  ASSERT_TRUE(platform::WriteFileAtomically(InstallPath("VarloService.exe"), "installed service"));
  PublishVersion("5.8.0.9\n");
  const std::string installer = RecordingScript(m_Tools, "VarloSetup");
  m_Repository.AddPackage("/v4/agent/win/", {{"VarloSetup.exe", installer},
                                             {"VarloService.exe", "new service"},
                                             {"logs/helper.dat", "helper"}});

  EXPECT_EQ(m_Service->SvcProc(), -1);

  EXPECT_EQ(ReadFile(InstallPath("VarloSetup.exe")), installer);
  EXPECT_EQ(ReadFile(InstallPath("VarloService.exe")), "new service");
  EXPECT_EQ(ReadFile(InstallPath("logs\\helper.dat")), "helper");
  EXPECT_NE(ServiceLog().find("strCmd=\"" + InstallPath("VarloSetup.exe") + "\" /S"),
            std::string::npos);
  EXPECT_TRUE(WaitForCall("VarloSetup /S"));
  EXPECT_TRUE(TempIsEmpty());
  EXPECT_EQ(m_Service->CmdLoop(), -1);
}

TEST_F(PeriodicTest, AnInstallerThatDoesNotStartKeepsTheServiceRunningUntilTheNextCheck) {
  SignInWithSysLogOn();
  cFakeTray tray(2);
  ASSERT_EQ(m_Service->m_UI.AddUser(2, geteuid()), 0);
  PublishVersion("5.8.0.9\n");
  // Verified, but not a program this host can start.
  m_Repository.AddPackage("/v4/agent/win/",
                          {{"VarloSetup.exe", "MZ installer"}, {"VarloService.exe", "new service"}});
  const auto attempts = [this] { return Occurrences(ServiceLog(), "ExecCmd()=-1"); };

  EXPECT_EQ(m_Service->SvcProc(), 0);
  EXPECT_EQ(attempts(), 1u);
  EXPECT_TRUE(tray.Drain().empty()) << "the tray programs are not told of a stop";
  m_Service->SetReadTimeout(50);
  EXPECT_EQ(m_Service->CmdLoop(), 0) << "the link stays open";

  for (int pass = 2; pass <= 10; ++pass) EXPECT_EQ(m_Service->SvcProc(), 0);
  EXPECT_EQ(attempts(), 1u);
  EXPECT_EQ(m_Service->SvcProc(), 0);
  EXPECT_EQ(attempts(), 2u) << "the next check tries again";
}

TEST_F(PeriodicTest, AnIncompletePackageStartsNothingAndKeepsTheInstalledFiles) {
  SignInWithSysLogOn();
  PublishVersion("5.8.0.9\n");
  const std::string installer = RecordingScript(m_Tools, "VarloSetup");
  struct cCase {
    const char* fault;
    std::map<std::string, std::string> package;
    std::map<std::string, std::string> served;  // what the repository serves instead
  };
  const cCase cases[] = {
      {"an installer with another digest",
       {{"VarloSetup.exe", installer}, {"VarloService.exe", "new service"}, {"Varlo.exe", "tray"}},
       {{"VarloSetup.exe", "tampered installer"}}},
      {"a name that climbs out", {{"VarloSetup.exe", installer}, {"../VarloService.exe", "new service"}}, {}},
      {"a name with a control character",
       {{"VarloSetup.exe", installer}, {"logs/\x1bhelper.dat", "helper"}}, {}},
  };
  for (const cCase& test : cases) {
    ASSERT_TRUE(platform::WriteFileAtomically(InstallPath("VarloService.exe"), "installed service"));
    m_Repository.AddPackage("/v4/agent/win/", test.package);
    for (const auto& [name, content] : test.served) m_Repository.AddFile("/v4/agent/win/" + name, content);
    m_Service->m_UpdatePasses = 0;

    EXPECT_EQ(m_Service->SvcProc(), 0) << test.fault;

    EXPECT_EQ(ReadFile(InstallPath("VarloService.exe")), "installed service") << test.fault;
    EXPECT_FALSE(platform::FileExists(InstallPath("VarloSetup.exe"))) << test.fault;
    EXPECT_FALSE(platform::FileExists(InstallPath("Varlo.exe"))) << test.fault;
    EXPECT_TRUE(TempIsEmpty()) << test.fault;
  }
  EXPECT_TRUE(m_Tools.Calls().empty());
}

TEST_F(PeriodicTest, UpdateIsCheckedAtTheFirstPassAndEveryTenthAfter) {
  SignInWithSysLogOn();
  PublishVersion("5.8.0.8\r\n");
  for (int pass = 0; pass < 21; ++pass) EXPECT_EQ(m_Service->SvcProc(), 0);
  int checks = 0;
  for (const cRecordedRequest& request : m_Repository.Requests())
    checks += request.path == "/v4/agent/win/version";
  EXPECT_EQ(checks, 3);

  m_Service->m_AutoUpdate = 0;
  const uint32_t passes = m_Service->m_UpdatePasses;
  m_Service->SvcProc();
  EXPECT_EQ(m_Service->m_UpdatePasses, passes);
}

TEST_F(PeriodicTest, CheckUpdateComparesTheTrimmedVersionText) {
  SignInWithSysLogOn();
  const std::vector<std::pair<std::string, int>> cases = {
      {"5.8.0.8\r\n", 0}, {"5.8.0.8", 0}, {"5.8.0.9\n", 1}, {"5.8.0.8\n\n", 1}, {"", -1}};
  for (const auto& [text, expected] : cases) {
    PublishVersion(text);
    EXPECT_EQ(m_Service->CheckUpdate(), expected) << text;
  }
}

}  // namespace
