// The installed service against servers that never finish or send too much: an answer beyond what
// its endpoint carries fails and is logged while the service's memory stays bounded, and a stop
// ends a request that a server keeps alive, during start-up and during an upload.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/AgentInfo.h"
#include "common/AnswerLimits.h"
#include "common/Nvm.h"
#include "platform/EventLog.h"
#include "tests/agent/AgentFixture.h"
#include "tests/support/InstalledAgent.h"

namespace {

// What a hostile answer may add to the service's memory: room for the largest answer kept in
// memory and its parse, far below what the answers below would make it take without bounds.
constexpr uint64_t kMemoryGrowthBoundKb = 64 * 1024;
constexpr uint64_t kHugeAnswer = 100 * 1024 * 1024;

constexpr char kSignedIn[] = R"({"returnCode":"0","ipKey":"agent-key-1","authKey":"session-1"})";
constexpr char kSysLogOn[] = R"({"returnCode":"0","result":{"isUpload":"1"}})";

const std::vector<std::string> kStopReports = {
    "STOP_PENDING controls=1 checkpoint=2 wait=0 type=16 exit=0/0",
    "STOPPED controls=1 checkpoint=0 wait=0 type=16 exit=0/0",
};

// The most memory the process has held (VmHWM), in KiB; 0 when it cannot be read.
uint64_t PeakMemoryKb(int processId) {
  std::ifstream status("/proc/" + std::to_string(processId) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

std::string Event(unsigned number, size_t dataLength) {
  return "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Test'/>"
         "<EventID>1</EventID><EventRecordID>" +
         std::to_string(number) + "</EventRecordID><Channel>Application</Channel></System><EventData><Data>" +
         std::string(dataLength, 'd') + "</Data></EventData></Event>";
}

class HostileServersEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Authority.InstallAsTrusted());
    for (cFakeHttpServer* server : std::vector<cFakeHttpServer*>{&m_Server, &m_Repository, &m_Upload})
      ASSERT_TRUE(server->Start());
    NvmVarlo settings;
    settings.SetString(NvmVarlo::LicenseKey, kAccountKey);
    settings.SetDword(NvmVarlo::Status, 1);
    const std::string domain = std::string(kAgentKeyPath) + "\\Domain";
    SetRegistryString(domain, "Apis", m_Server.Url());
    SetRegistryString(domain, "Repo", m_Repository.Url("/"));
    SetRegistryString(domain, "UploadSys", m_Upload.Url());
    SetRegistryString(domain, "UploadWeb", m_Upload.Url());
    m_Server.Script("POST", "/pauth/login/agent", cScriptedAnswer(200, kSignedIn));
  }

  // The running service may still call the servers: they stop answering before they are destroyed.
  void TearDown() override {
    m_Server.Stop();
    m_Repository.Stop();
    m_Upload.Stop();
  }

  bool Received(const cFakeHttpServer& server, const std::string& path) const {
    for (const cRecordedRequest& request : server.Requests()) {
      if (request.path == path) return true;
    }
    return false;
  }

  // Starts the service, waits until it has reached a point, stops it; the most memory it held
  // until the point, in KiB.
  uint64_t RunUntil(const std::function<bool()>& reached) {
    cRunResult run = m_Agent.Run("sc.exe start VARLO");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const int processId = m_Agent.State().processId;
    EXPECT_TRUE(WaitUntil(60000, reached)) << m_Agent.Log();
    const uint64_t peakKb = PeakMemoryKb(processId);
    EXPECT_GT(peakKb, 0u);
    EXPECT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING, 30000));
    StopAndExpectStopped();
    return peakKb;
  }
  bool Logged(const std::string& line) const { return m_Agent.Log().find(line) != std::string::npos; }

  // sc stop, and the service's stop reports once its process has ended.
  void StopAndExpectStopped() {
    const int processId = m_Agent.State().processId;
    cRunResult stopped = m_Agent.Run("sc.exe stop VARLO");
    EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
    ASSERT_TRUE(m_Agent.WaitForExit(processId, 30000)) << m_Agent.Log();
    std::vector<std::string> reports = m_Agent.Reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(reports.end() - 2, reports.end()), kStopReports);
    EXPECT_NE(m_Agent.Log().find("+++"), std::string::npos) << m_Agent.Log();
  }

  cInstalledAgent m_Agent;
  cTestCertificateAuthority m_Authority;
  cFakeManagementServer m_Server{&m_Authority};
  cFakeRepository m_Repository{&m_Authority};
  cFakeUploadServer m_Upload{&m_Authority};
};

TEST_F(HostileServersEndToEndTest, AnAnswerBeyondItsEndpointFailsIsLoggedAndLeavesTheMemoryBounded) {
  m_Server.Script("GET", "/pserver/agent/conf/syslog", cScriptedAnswer(200, kSysLogOn));
  m_Repository.Script("GET", "/v4/agent/win/version", cScriptedAnswer(200, kAgentVersion));
  // What the service takes when every answer is plain, with collection and the update check.
  const uint64_t plainPeakKb = RunUntil([this] { return Received(m_Repository, "/v4/agent/win/version"); });
  struct cScript {
    cFakeHttpServer* server;
    const char* path;
    cScriptedAnswer hostile;
    cScriptedAnswer plain;
  };
  struct cCase {
    const char* name;
    cScript script;
    std::string refusal;
  } cases[] = {
      {"endless job list",
       {&m_Server, "/pserver/agent/agentjob",
        cScriptedAnswer::Endless(R"({"returnCode":"0","result":{"list":[)", R"({"code":"filter"},)"),
        cScriptedAnswer(200, R"({"returnCode":"0"})")},
       "answer of /pserver/agent/agentjob refused: over " + std::to_string(kJsonAnswer.maxBytes) + " bytes"},
      {"huge token",
       {&m_Server, "/pauth/csrftoken", cScriptedAnswer::Oversized(R"({"csrfTokenKey":")", "t", kHugeAnswer),
        cScriptedAnswer(200, R"({"csrfTokenKey":"t"})")},
       "answer of /pauth/csrftoken refused: over " + std::to_string(kLineAnswer.maxBytes) + " bytes"},
      {"huge version file",
       {&m_Repository, "/v4/agent/win/version", cScriptedAnswer::Oversized("5.9.", "9", kHugeAnswer),
        cScriptedAnswer(200, kAgentVersion)},
       "answer of v4/agent/win/version refused: over " + std::to_string(kLineAnswer.maxBytes) + " bytes"},
  };
  for (const cCase& test : cases) {
    SCOPED_TRACE(test.name);
    test.script.server->Script("GET", test.script.path, test.script.hostile);
    const uint64_t peakKb = RunUntil([&] { return Logged(test.refusal); });
    EXPECT_LT(peakKb, plainPeakKb + kMemoryGrowthBoundKb) << "plain: " << plainPeakKb << " KiB";
    test.script.server->Script("GET", test.script.path, test.script.plain);
  }
}

TEST_F(HostileServersEndToEndTest, AStopDuringStartUpEndsASignInThatAServerDripsOut) {
  m_Server.Script("POST", "/pauth/login/agent", cScriptedAnswer::Dripping(R"({"returnCode":"0",)", " "));
  cRunResult started = m_Agent.Run("sc.exe start VARLO");
  ASSERT_EQ(started.exitCode, 0) << started.output;
  ASSERT_TRUE(WaitUntil(30000, [&] { return Received(m_Server, "/pauth/login/agent"); }));
  EXPECT_EQ(m_Agent.State().state, SERVICE_START_PENDING);
  StopAndExpectStopped();
  EXPECT_EQ(m_Agent.Reports().size(), 3u) << "START_PENDING, then straight to the stop";
  EXPECT_NE(m_Agent.Log().find("request of /pauth/login/agent cancelled"), std::string::npos) << m_Agent.Log();
}

TEST_F(HostileServersEndToEndTest, AStopEndsAnUploadThatAServerDripsOut) {
  m_Server.Script("GET", "/pserver/agent/conf/syslog", cScriptedAnswer(200, kSysLogOn));
  m_Upload.Script("POST", "/pupload/syslog", cScriptedAnswer::Dripping(R"({"returnCode":"0",)", " "));
  cRunResult started = m_Agent.Run("sc.exe start VARLO");
  ASSERT_EQ(started.exitCode, 0) << started.output;
  ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING, 30000)) << m_Agent.Log();
  ASSERT_TRUE(WaitUntil(30000, [&] { return m_Agent.Log().find("EvtSubscribe(") != std::string::npos; }));
  // Two events past the flush threshold together: the second sends the batch.
  unsigned number = 0;
  ASSERT_TRUE(WaitUntil(30000, [&] {
    platform::AppendEvents("Application", {Event(++number, 60000)});
    return Received(m_Upload, "/pupload/syslog");
  })) << m_Agent.Log();
  StopAndExpectStopped();
  EXPECT_NE(m_Agent.Log().find("request of /pupload/syslog cancelled"), std::string::npos) << m_Agent.Log();
}

}  // namespace
