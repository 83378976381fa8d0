// The clients against servers that never finish or send too much: on every kind of endpoint an
// endless, a dripped and an oversized answer fail the request, logged with the endpoint; a
// compressed answer is bounded as it inflates; a cancel ends the request in flight.
#include <atomic>
#include <functional>
#include <thread>

#include "VarloService/server/Api.h"
#include "VarloService/server/LogUploader.h"
#include "VarloService/server/Repo.h"
#include "common/InstallLayout.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FakeManagementServer.h"
#include "tests/support/WaitUntil.h"

namespace {

enum class eHostile { Endless, Dripping, Oversized };

const char* Name(eHostile kind) {
  return kind == eHostile::Endless ? "endless" : kind == eHostile::Dripping ? "dripping" : "oversized";
}

cScriptedAnswer HostileAnswer(eHostile kind, const std::string& head, const std::string& unit, uint32_t bound) {
  switch (kind) {
    case eHostile::Endless: return cScriptedAnswer::Endless(head, unit);
    case eHostile::Dripping: return cScriptedAnswer::Dripping(head, unit);
    case eHostile::Oversized: break;
  }
  return cScriptedAnswer::Oversized(head, unit, 2 * static_cast<uint64_t>(bound));
}

// One server for all three clients: management calls, repository files and uploads.
class HostileServerTest : public cServerTest {
 protected:
  void SetUp() override {
    cServerTest::SetUp();
    platform::SetClock(&m_Clock);
    ASSERT_TRUE(m_Server.Start());
    NvmDomain(1).SetString(NvmDomain::Repo, m_Server.Url("/"));
    m_Info.m_LicenseKey = "LIC-1";
    m_Info.m_AgentId = "agent-1";
    m_Info.m_InstallDir = "C:\\Program Files\\VARLO";
    ASSERT_TRUE(MakeInstallFolders(m_Info.m_InstallDir).empty());
    m_Api.SetAgentInfo(&m_Info);
    ASSERT_EQ(0, m_Api.Connect(L"127.0.0.1", 1, m_Server.Port()));
    m_Server.Script("POST", "/pauth/login/agent",
                    cScriptedAnswer(200, R"({"returnCode":"0","ipKey":"agent-1","authKey":"session-1"})"));
    ASSERT_EQ(0, m_Api.Login());
    m_Repo.SetAgentInfo(&m_Info);
    m_Repo.ConnectEndpoint();
    m_U.Begin(&m_Info, 0, 0);
    ASSERT_EQ(0, m_U.Connect(L"127.0.0.1", 1, m_Server.Port()));
  }
  void TearDown() override {
    m_Server.Stop();
    platform::SetClock(nullptr);
  }

  bool Received(const std::string& path) const {
    for (const cRecordedRequest& request : m_Server.Requests()) {
      if (request.path == path) return true;
    }
    return false;
  }

  // Runs the call on a thread of its own; for a dripped answer, the clock runs on once the server
  // has the request, until the call gives up. A call still running after a generous wait is
  // cancelled, so a fault fails the test rather than hanging it. The call's result.
  bool RunAgainst(eHostile kind, const std::string& path, const std::function<bool()>& call) {
    std::atomic<bool> done{false};
    bool result = false;
    std::thread caller([&] {
      result = call();
      done = true;
    });
    const bool finished = WaitUntil(60000, [&] {
      if (kind == eHostile::Dripping && Received(path)) m_Clock.Advance(kPackageFile.timeLimitMs + 1);
      return done.load();
    });
    if (!finished) {
      m_Api.Cancel();
      m_Repo.Cancel();
      m_U.Cancel();
    }
    caller.join();
    EXPECT_TRUE(finished) << path << " still waiting";
    return result;
  }

  platform::cManualClock m_Clock;
  cCapturedLog m_Log;
  cFakeManagementServer m_Server{&m_Authority};
  cAgentInfo m_Info;
  cApi m_Api;
  cRepo m_Repo;
  cLogUploader m_U;
};

TEST_F(HostileServerTest, EveryEndpointRefusesAnAnswerWithoutEndDrippedOrTooLargeAndLogsIt) {
  const std::string local = "C:\\Program Files\\VARLO\\temp\\VarloSetup.exe";
  struct cEndpoint {
    const char* method;
    std::string path;
    std::string head, unit;
    cAnswerLimit limit;
    std::function<bool()> failsAsItShould;
  } endpoints[] = {
      {"GET", "/pserver/agent/agentjob", R"({"returnCode":"0","result":{"list":[)", R"({"code":"filter"},)",
       kJsonAnswer,
       [this] {
         uint32_t mask = 0;
         return m_Api.Job(mask) == -1 && mask == 0;
       }},
      {"GET", "/pserver/csrftoken", R"({"csrfTokenKey":")", "t", kLineAnswer,
       [this] {
         uint32_t mask = 0;
         return m_Api.Job(mask) == -1 && !Received("/pserver/agent/agentjob");
       }},
      {"GET", "/v4/agent/win/version", "5.9.0.", "1", kLineAnswer,
       [this] {
         std::string version;
         return !m_Repo.FetchVersion(L"/v4/agent/win/", version) && version.empty();
       }},
      {"GET", "/client/LIC-1", "seq=7\n", "#\n", kTextAnswer,
       [this] {
         std::string text = "unchanged";
         m_Repo.ConnectEndpoint();
         return m_Repo.GetText(L"/client/LIC-1", text) == 0 && text == "unchanged";
       }},
      {"GET", "/v4/agent/win/VarloSetup.exe", "MZ", "x", kPackageFile,
       [this, &local] {
         std::string content = "<missing>";
         m_Repo.ConnectEndpoint();
         return m_Repo.Download(L"/v4/agent/win/VarloSetup.exe", local) == 0 &&
                platform::ReadWholeFile(local, content) && content.empty();
       }},
      {"POST", "/pupload/syslog", R"({"returnCode":"0","pad":")", "x", kUploadAnswer,
       [this] {
         m_U.AppendSysLog("<Event/>", nullptr, nullptr);
         return m_U.Flush() == -1 && m_U.Error() == 1 && m_U.OK() == 0;
       }},
  };
  for (const cEndpoint& endpoint : endpoints) {
    for (eHostile kind : {eHostile::Endless, eHostile::Dripping, eHostile::Oversized}) {
      SCOPED_TRACE(endpoint.path + " " + Name(kind));
      m_Server.Script(endpoint.method, endpoint.path, HostileAnswer(kind, endpoint.head, endpoint.unit, endpoint.limit.maxBytes));
      m_Server.ClearRequests();
      const std::string before = m_Log.Text();
      EXPECT_TRUE(RunAgainst(kind, endpoint.path, [&] { return endpoint.failsAsItShould(); }));
      const std::string refusal =
          "answer of " + endpoint.path + " refused: " +
          (kind == eHostile::Dripping ? "not complete within " + std::to_string(endpoint.limit.timeLimitMs / 1000) + " s"
                                      : "over " + std::to_string(endpoint.limit.maxBytes) + " bytes");
      EXPECT_NE(m_Log.Text().find(refusal, before.size()), std::string::npos) << m_Log.Text().substr(before.size());
      // Back to a plain answer, so the next endpoint's calls get through.
      m_Server.Script(endpoint.method, endpoint.path, cScriptedAnswer(200, R"({"returnCode":"0","csrfTokenKey":"t"})"));
    }
  }
}

TEST_F(HostileServerTest, ACompressedAnswerIsBoundedAsItInflates) {
  const std::string bomb = Packed(std::string(kMaxInflatedBytes + 1, ' '));
  m_Server.Script("GET", "/pfilter/agent/filterelementreference",
                  cScriptedAnswer(200, R"({"returnCode":"0","list":")" + bomb + "\"}"));
  json_t* references = nullptr;
  EXPECT_EQ(0, m_Api.SysFilterRef(references));
  EXPECT_EQ(nullptr, references);
  EXPECT_FALSE(platform::FileExists(m_Info.m_InstallDir + "\\temp\\sysfilter-ref.json"));
  EXPECT_TRUE(m_Log.Has("answer of /pfilter/agent/filterelementreference refused: inflates to over 16777216 bytes"))
      << m_Log.Text();

  m_Server.Script("GET", "/pserver/agent/cmd/defense",
                  cScriptedAnswer(200, R"({"returnCode":"0","result":{"agentDefenseCmdIds":[4],"script":")" + bomb + "\"}}"));
  json_t* ids = nullptr;
  const std::string script = m_Info.m_InstallDir + "\\defense.bat";
  EXPECT_EQ(0, m_Api.GetCmd(0, ids, script));
  EXPECT_EQ(1u, json_array_size(ids));
  json_decref(ids);
  EXPECT_FALSE(platform::FileExists(script));
  EXPECT_TRUE(m_Log.Has("answer of /pserver/agent/cmd/defense refused: inflates to over")) << m_Log.Text();
}

TEST_F(HostileServerTest, ACancelEndsTheRequestInFlightAndRefusesTheNextUntilResumed) {
  m_Server.Script("GET", "/pserver/agent/agentjob", cScriptedAnswer::Dripping(R"({"returnCode":"0")", " "));
  std::atomic<int> result{1};
  std::thread caller([&] {
    uint32_t mask = 0;
    result = m_Api.Job(mask);
  });
  ASSERT_TRUE(WaitUntil(20000, [&] { return Received("/pserver/agent/agentjob"); }));
  m_Api.Cancel();
  EXPECT_TRUE(WaitUntil(20000, [&] { return result != 1; }));
  caller.join();
  EXPECT_EQ(-1, result.load());
  EXPECT_TRUE(m_Log.Has("request of /pserver/agent/agentjob cancelled")) << m_Log.Text();

  m_Server.Script("GET", "/pserver/agent/agentjob", cScriptedAnswer(200, R"({"returnCode":"0"})"));
  m_Server.ClearRequests();
  uint32_t mask = 0;
  EXPECT_EQ(-1, m_Api.Job(mask));
  EXPECT_EQ(0u, m_Server.RequestCount());
  m_Api.ResumeRequests();
  EXPECT_EQ(0, m_Api.Job(mask));
}

TEST_F(HostileServerTest, AnUploadersNextRunTakesRequestsAgain) {
  m_U.Cancel();
  m_U.AppendSysLog("<Event/>", nullptr, nullptr);
  EXPECT_EQ(-1, m_U.Flush());
  EXPECT_EQ(2u, m_Server.RequestCount()) << "only the sign-in's token and request went out";
  m_U.Close();
  m_U.Begin(&m_Info, 0, 0);
  ASSERT_EQ(0, m_U.Connect(L"127.0.0.1", 1, m_Server.Port()));
  m_U.AppendSysLog("<Event/>", nullptr, nullptr);
  EXPECT_EQ(0, m_U.Flush());
}

TEST_F(HostileServerTest, ServerTextsGoIntoTheLogEscapedAndCut) {
  m_Server.Script("GET", "/pserver/agent/agentjob",
                  cScriptedAnswer(200, R"({"returnCode":"7\n[2024-01-01 00:00:00.000] [event] [info] forged"})"));
  uint32_t mask = 0;
  EXPECT_EQ(-5, m_Api.Job(mask));
  EXPECT_TRUE(m_Log.Has("returnCode=7\\n[2024-01-01 00:00:00.000] [event] [info] forged")) << m_Log.Text();
  EXPECT_FALSE(m_Log.Has("\n[2024-01-01")) << m_Log.Text();

  const std::string longCode(100000, 'c');
  m_Server.Script("GET", "/pserver/agent/agentjob",
                  cScriptedAnswer(200, R"({"returnCode":"0","result":{"list":[{"code":")" + longCode + "\"}]}}"));
  EXPECT_EQ(0, m_Api.Job(mask));
  EXPECT_TRUE(m_Log.Has("jobcode 0=" + std::string(kLoggedTextBytes, 'c') + "... (100000 bytes)")) << m_Log.Text();
}

}  // namespace
