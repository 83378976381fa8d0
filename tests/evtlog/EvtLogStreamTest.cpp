// A steady stream of events from another process while the upload server answers. Its length and
// rate come from VARLO_STREAM_SECONDS (default 2) and VARLO_STREAM_RATE (default 2000 a second),
// so that bench/run can run the same test for a sustained minute; it prints the resident size a
// tenth into the stream, halfway and at its end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Files.h"
#include "tests/evtlog/EvtLogFixture.h"
#include "tests/support/ProcessUsage.h"

namespace {

unsigned long Setting(const char* name, unsigned long fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoul(value, nullptr, 10) : fallback;
}

// The count and an order-sensitive digest of a sequence of events, so that a stream can be
// compared without being kept.
struct cTally {
  size_t count = 0;
  size_t digest = 0;
  void Add(const std::string& event) {
    ++count;
    digest = digest * 1000003 ^ std::hash<std::string>()(event);
  }
  bool operator==(const cTally& other) const { return count == other.count && digest == other.digest; }
};

using EvtLogStreamTest = cEvtLogFixture;

TEST_F(EvtLogStreamTest, EveryEventOfASteadyStreamArrivesOnce) {
  const unsigned long seconds = Setting("VARLO_STREAM_SECONDS", 2);
  const unsigned long rate = Setting("VARLO_STREAM_RATE", 2000);
  platform::SetClock(nullptr);  // batches leave by size and age, as in the service
  m_Svc->SetChannelMask(1u << 0 | 1u << 4);
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);

  std::string events = FailedLogon("alice", 0) + "\n" +
                       RenderedEvent(kSecurity, "Microsoft-Windows-Security-Auditing", "4688",
                                     {{"NewProcessName", "C:\\Windows\\System32\\cmd.exe"}, {"CommandLine", "cmd /c dir"}}, 0) +
                       "\n";
  std::string sample;
  if (platform::ReadWholeFile(VARLO_TESTDATA_DIR "/winevent/original.xml", sample)) events += sample;
  const std::string file = m_Root.Path() + "/stream.xml";
  ASSERT_TRUE(platform::WriteFileAtomically(file, events));

  const unsigned long count = seconds * rate;
  // What arrives is drained and tallied as it comes, so the test keeps no more than the service.
  cTally uploaded;
  size_t batches = 0;
  const auto tally = [&](const std::vector<cUploadedBatch>& arrived) {
    for (const auto& batch : arrived) {
      EXPECT_EQ(batch.error, "");
      EXPECT_TRUE(batch.hashesIntact);
      EXPECT_EQ(batch.uploadLogLine, static_cast<long long>(batch.records.size()));
    }
    for (const std::string& ceelog : Ceelogs(arrived)) uploaded.Add(ceelog);
    batches += arrived.size();
  };
  // Sampled once the service is warm (a tenth of the stream in), halfway and at the end.
  double residentAtStart = 0, residentInTheMiddle = 0;
  std::atomic<int> toolResult{-1};
  std::atomic<bool> appended{false};
  auto begin = std::chrono::steady_clock::now();
  std::thread appender([&] {
    toolResult = RunEventTool("append --count " + std::to_string(count) + " --rate " + std::to_string(rate) +
                              " Security \"" + file + "\"");
    appended = true;
  });
  const bool handled = WaitUntil(static_cast<int>(seconds * 1000) + kEventWaitMs, [&] {
    tally(m_Server.TakeBatches());
    m_Server.ClearRequests();
    if (residentAtStart == 0 && m_Svc->RxCount() >= count / 10) residentAtStart = ResidentMiB();
    if (residentInTheMiddle == 0 && m_Svc->RxCount() >= count / 2) residentInTheMiddle = ResidentMiB();
    return appended && m_Svc->RxCount() >= count && !m_Svc->InCallback();
  });
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const double residentAtEnd = ResidentMiB();
  appender.join();
  ASSERT_EQ(toolResult, 0);
  ASSERT_TRUE(handled);
  // The rest of the open batch leaves by the clock the test moves.
  m_Clock.SetNow(std::time(nullptr));
  platform::SetClock(&m_Clock);
  tally(FlushBatches());

  std::vector<std::string> journal;
  ASSERT_TRUE(platform::ReadEvents(kSecurity, journal));
  ASSERT_EQ(journal.size(), count);
  cTally expected;
  for (const std::string& event : journal) expected.Add(event);
  EXPECT_TRUE(uploaded == expected) << "events lost, repeated or changed on the way";
  RecordProperty("events", static_cast<int>(count));
  RecordProperty("batches", static_cast<int>(batches));
  std::printf("%lu events in %.1f s (%.0f a second) in %zu batches, all arrived once and intact\n", count, elapsed,
              count / elapsed, batches);
  std::printf("resident size: %.1f MiB a tenth in, %.1f MiB halfway, %.1f MiB at the end\n", residentAtStart,
              residentInTheMiddle, residentAtEnd);
}

}  // namespace
