// The agent against servers that end kept-alive connections as servers and load balancers in the
// field do: after a second idle (with a TLS close_notify) or after five requests, directly and
// through a tunnelling proxy. At its own pace, with only its waits shortened, every job poll and
// every upload arrives once and none is logged as failed. And a proxy that is set but cannot be
// used lets nothing go out directly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/Nvm.h"
#include "platform/EventLog.h"
#include "tests/agent/AgentFixture.h"
#include "tests/support/EventTool.h"
#include "tests/support/FakeProxy.h"
#include "tests/support/Occurrences.h"

namespace {

constexpr size_t kPolls = 200;
constexpr size_t kUploads = 200;
constexpr int64_t kStartTime = 1700000000;
constexpr char kProvider[] = "ServerConnectionsTest";

// Ticks in real time, so the main loop waits as long as it asks; its calendar runs faster, so that
// batches come of age (6 s) sooner.
class cFastCalendar : public platform::cClock {
 public:
  explicit cFastCalendar(int speed) : m_Speed(speed) {}
  uint64_t TickMs() const override {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_Start).count());
  }
  int64_t Now() const override { return kStartTime + static_cast<int64_t>(TickMs() * m_Speed / 1000); }

 private:
  const std::chrono::steady_clock::time_point m_Start = std::chrono::steady_clock::now();
  const uint64_t m_Speed;
};

struct cServerHabit {
  const char* name;
  int idleSeconds;            // the servers close a kept connection idle this long
  int requestsPerConnection;  // and one that carried this many requests
  bool throughProxy;
  DWORD passMs;               // the main loop's pass, 6 s in the service
  int calendarSpeed;          // a batch's 6 s of age in 6000 / speed ms
};

void PrintTo(const cServerHabit& habit, std::ostream* out) { *out << habit.name; }

// Passes longer than the servers' idle time, so nearly every request meets a closed connection.
const cServerHabit kHabits[] = {
    {"IdleOneSecond", 1, 1000, false, 1200, 5},
    {"FiveRequestsEach", 30, 5, false, 200, 30},
    {"IdleOneSecondThroughTheProxy", 1, 1000, true, 1200, 5},
};

class ServerConnectionsTest : public cAgentTest, public ::testing::WithParamInterface<cServerHabit> {
 protected:
  void SetUp() override {
    const cServerHabit& habit = GetParam();
    for (cFakeHttpServer* server : std::initializer_list<cFakeHttpServer*>{&m_Server, &m_Repository, &m_Upload})
      server->LimitConnections(habit.idleSeconds, habit.requestsPerConnection);
    cAgentTest::SetUp();
    platform::SetClock(&m_Calendar);
    if (habit.throughProxy) {
      ASSERT_TRUE(m_Proxy.Start());
      SetRegistryString(kAgentKeyPath, "Proxy", m_Proxy.Address());
    }
  }

  // Every event up to the newest one uploaded is in exactly one upload; those after it are the
  // open batch's, younger than a batch's age.
  void ExpectEveryEventUploadedOnce() {
    std::multiset<std::string> uploaded;
    for (const cUploadedBatch& batch : m_Upload.Batches()) {
      EXPECT_EQ(batch.error, "");
      for (const std::string& ceelog : batch.ceelogs) {
        if (ceelog.find(kProvider) != std::string::npos) uploaded.insert(ceelog);
      }
    }
    size_t newest = 0;
    for (size_t i = 0; i < m_Events.size(); ++i) {
      if (uploaded.count(m_Events[i]) > 0) newest = i + 1;
    }
    EXPECT_GT(newest + 8, m_Events.size());
    for (size_t i = 0; i < newest; ++i) EXPECT_EQ(uploaded.count(m_Events[i]), 1u) << m_Events[i];
    EXPECT_EQ(uploaded.size(), newest);
  }

  // Appends an event once the calendar has moved a second past the one before.
  void AppendEvent() {
    const int64_t after = m_Calendar.Now();
    ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] { return m_Calendar.Now() > after; }));
    const std::string event =
        RenderedEvent("Application", kProvider, "1", {}, static_cast<unsigned>(m_Events.size() + 1));
    ASSERT_TRUE(platform::AppendEvents("Application", {event}));
    m_Events.push_back(event);
  }

  static std::string FailedLines(const std::string& log) {
    std::string lines;
    for (size_t start = 0, end; start < log.size(); start = end + 1) {
      end = log.find('\n', start);
      if (end == std::string::npos) end = log.size();
      const std::string line = log.substr(start, end - start);
      if (line.find("failed") != std::string::npos) lines += line + "\n";
    }
    return lines;
  }

  size_t Polls() const {
    size_t polls = 0;
    for (const cRecordedRequest& request : m_Server.Requests()) polls += request.path == "/pserver/agent/agentjob";
    return polls;
  }

  cFastCalendar m_Calendar{GetParam().calendarSpeed};
  cFakeProxy m_Proxy;
  std::vector<std::string> m_Events;
};

TEST_P(ServerConnectionsTest, EveryPollAndUploadArrivesOnceAndNoneFails) {
  const cServerHabit& habit = GetParam();
  ScriptSignIn();
  m_Server.Script("GET", "/pserver/agent/conf/syslog", {200, R"({"returnCode":"0","result":{"isUpload":"1"}})"});
  // Every poll that arrives is answered with a job the agent logs and leaves alone.
  ScriptJobs({{"none"}});
  m_Service = std::make_unique<cVarloService>(m_Calendar);
  m_Service->Init();
  // The service's own use on a busy machine is not the subject here.
  m_Service->m_OwnCpuLimit = 100.0;
  m_Service->m_OwnMemoryLimit = std::numeric_limits<uint64_t>::max();
  m_Service->m_Status = 1;
  ASSERT_EQ(m_Service->Login(), 1);
  ASSERT_EQ(m_Service->m_Sys, 1);
  m_Service->SetReadTimeout(habit.passMs);
  std::thread loop([this] { m_Service->RunMainLoop(); });

  const auto enough = [&] { return Polls() >= kPolls && m_Upload.Batches().size() >= kUploads; };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(20);
  while (!enough() && std::chrono::steady_clock::now() < deadline) AppendEvent();
  EXPECT_TRUE(WaitUntil(kLongWaitMs, [&] { return m_Service->m_EvtLogSvc.RxCount() >= m_Events.size(); }));
  m_Service->CloseLink();
  loop.join();

  EXPECT_TRUE(enough()) << Polls() << " polls, " << m_Upload.Batches().size() << " uploads";
  ExpectEveryEventUploadedOnce();
  const std::string log = ServiceLog();
  EXPECT_EQ(Occurrences(log, "jobcode 0=none"), Polls()) << "a poll was lost or sent twice";
  EXPECT_EQ(Occurrences(log, "failed"), 0u) << FailedLines(log);
  // The servers did end connections under the agent.
  EXPECT_GE(m_Server.AcceptedConnections(), kPolls / 5);
  EXPECT_GE(m_Upload.AcceptedConnections(), kUploads / 5);
  if (habit.throughProxy) {
    EXPECT_GE(m_Proxy.RequestLines().size(), m_Server.AcceptedConnections());
  }
}

INSTANTIATE_TEST_SUITE_P(ServersThatEndConnections, ServerConnectionsTest, ::testing::ValuesIn(kHabits),
                         [](const ::testing::TestParamInfo<cServerHabit>& info) { return info.param.name; });

using UnusableProxyTest = cAgentTest;

// A Proxy too long to read (which the agent read as no proxy), and one that names no proxy.
TEST_F(UnusableProxyTest, NothingGoesOutDirectly) {
  ScriptSignIn();
  for (const std::string& proxy : {std::string(20012, 'p'), std::string(" ; ")}) {
    SetRegistryString(kAgentKeyPath, "Proxy", proxy);
    StartService();
    const size_t logged = ServiceLog().size();
    m_Service->m_Status = 1;
    EXPECT_EQ(m_Service->Login(), 0);
    std::string version;
    EXPECT_FALSE(m_Service->m_Repo.FetchVersion(L"v4/agent/win/", version));
    const std::string log = ServiceLog().substr(logged);
    EXPECT_EQ(Occurrences(log, "request of /pauth/csrftoken failed: "), 1u) << log;
    EXPECT_EQ(Occurrences(log, "nothing goes out without it"), 3u) << log;  // two connects, one request
    m_Service.reset();
  }
  EXPECT_EQ(m_Server.AcceptedConnections(), 0u);
  EXPECT_EQ(m_Repository.AcceptedConnections(), 0u);
}

}  // namespace
