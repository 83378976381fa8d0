// The main loop's pace while another user floods the service slot with empty messages and with
// messages the service refuses: each pass still ends at its own deadline, so the sign-in retries
// keep their waits of 5, 5 and 5 s and then 600 s, and the job polls their 6 s.
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/agent/AgentFixture.h"
#include "tests/support/OtherUser.h"

namespace {

constexpr uint64_t kStepMs = 100;
// A pass may end a few steps after its deadline, never before.
constexpr uint64_t kLateMs = 10 * kStepMs;

// Moves on by a step each time the loop asks it the time, so the loop's deadlines pass with its
// own reads, however fast the machine is.
class cSteppingClock : public platform::cClock {
 public:
  uint64_t TickMs() const override { return m_Tick.fetch_add(kStepMs) + kStepMs; }
  int64_t Now() const override { return kStart + static_cast<int64_t>(m_Tick.load() / 1000); }
  uint64_t Peek() const { return m_Tick.load(); }

 private:
  static constexpr int64_t kStart = 1700000000;
  mutable std::atomic<uint64_t> m_Tick{0};
};

// The service's log lines with the clock's time of each.
class cTimedLog : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit cTimedLog(const cSteppingClock& clock) : m_Clock(clock) {}
  // The times of the lines that start with text, oldest first.
  std::vector<uint64_t> Times(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<uint64_t> times;
    for (const auto& line : m_Lines) {
      if (line.second.compare(0, text.size(), text) == 0) times.push_back(line.first);
    }
    return times;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    m_Lines.emplace_back(m_Clock.Peek(),
                         std::string(message.payload.data(), message.payload.size()));
  }
  void flush_() override {}

 private:
  const cSteppingClock& m_Clock;
  std::vector<std::pair<uint64_t, std::string>> m_Lines;
};

class LoopPaceTest : public cAgentTest {
 protected:
  void TearDown() override {
    cAgentTest::TearDown();
    if (m_PreviousLogger) spdlog::set_default_logger(m_PreviousLogger);
  }
  // Starts the service on the stepping clock and captures its log from then on.
  void StartSteppedService() {
    m_Service = std::make_unique<cVarloService>(m_SteppingClock);
    m_Service->Init();
    // The flood keeps the service busy; its resource watchdog is not the subject here.
    m_Service->m_OwnCpuLimit = 100.0;
    m_Service->m_OwnMemoryLimit = std::numeric_limits<uint64_t>::max();
    m_PreviousLogger = spdlog::default_logger();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("event", m_Log));
  }
  // The waits between the times, each within kLateMs after the expected one.
  static void ExpectWaits(const std::vector<uint64_t>& times,
                          const std::vector<uint64_t>& expected) {
    ASSERT_GE(times.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
      const uint64_t wait = times[i + 1] - times[i];
      EXPECT_GE(wait, expected[i]) << "wait " << i;
      EXPECT_LT(wait, expected[i] + kLateMs) << "wait " << i;
    }
  }

  cSteppingClock m_SteppingClock;
  std::shared_ptr<cTimedLog> m_Log = std::make_shared<cTimedLog>(m_SteppingClock);
  std::shared_ptr<spdlog::logger> m_PreviousLogger;
};

TEST_F(LoopPaceTest, AFloodFromAnotherUserKeepsTheSignInWaitsAndTheJobPollPeriod) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the administrator to send as another user";
  const cScriptedAnswer failed{200, R"({"returnCode":"1"})"};
  m_Server.Script("POST", "/pauth/login/agent",
                  {failed,
                   failed,
                   failed,
                   failed,
                   {200, std::string(R"({"returnCode":"0","ipKey":")") + kAgentKey +
                             R"(","authKey":"session-1"})"}});
  m_Server.Script("GET", "/pserver/agent/agentjob",
                  {200, R"({"returnCode":"0","result":{"list":[{"code":"none"}]}})"});
  StartSteppedService();

  HANDLE slot = CreateFileA(ServiceSlotPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  cOtherUserProcess flood([slot] {
    const uint8_t refused[] = {MSG_UI_TEST, 'x', 0};
    for (;;) {
      DWORD written = 0;
      const bool queued = WriteFile(slot, refused, 0, &written, nullptr) &&
                          WriteFile(slot, refused, sizeof refused, &written, nullptr);
      if (!queued) usleep(200);  // the queue is full
    }
    return 0;
  });
  ASSERT_TRUE(flood.Started());

  m_Service->m_Status = 1;
  m_Service->Login();
  std::thread loop([this] { m_Service->RunMainLoop(); });
  const bool passesEnded =
      WaitUntil(120000, [&] { return m_Log->Times("jobcode 0=").size() >= 4; });
  m_Service->CloseLink();
  loop.join();
  CloseHandle(slot);

  ASSERT_TRUE(passesEnded) << "the passes of the main loop did not end under the flood";
  EXPECT_EQ(m_Log->Times("m_Api.Login()=").size(), 5u);
  ExpectWaits(m_Log->Times("m_Api.Login()="), {5000, 5000, 5000, 600000});
  ExpectWaits(m_Log->Times("jobcode 0="), {6000, 6000, 6000});
  EXPECT_FALSE(m_Log->Times("MSG=09 from user 65534 (nobody) refused").empty());
}

}  // namespace
