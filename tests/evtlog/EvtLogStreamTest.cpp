// A steady stream of events from another process while the upload server answers. Its length and
// rate come from VARLO_STREAM_SECONDS (default 2) and VARLO_STREAM_RATE (default 2000 a second),
// so that bench/run can run the same test for a sustained minute.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "platform/EventLog.h"
#include "platform/Files.h"
#include "tests/evtlog/EvtLogFixture.h"

namespace {

unsigned long Setting(const char* name, unsigned long fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoul(value, nullptr, 10) : fallback;
}

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
  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(RunEventTool("append --count " + std::to_string(count) + " --rate " + std::to_string(rate) +
                         " Security \"" + file + "\""),
            0);
  ASSERT_TRUE(WaitHandled(static_cast<uint32_t>(count)));
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  // The rest of the open batch leaves by the clock the test moves.
  m_Clock.SetNow(std::time(nullptr));
  platform::SetClock(&m_Clock);
  auto batches = FlushBatches();

  std::vector<std::string> appended;
  ASSERT_TRUE(platform::ReadEvents(kSecurity, appended));
  ASSERT_EQ(appended.size(), count);
  EXPECT_TRUE(Ceelogs(batches) == appended) << "events lost, repeated or changed on the way";
  for (const auto& batch : batches) {
    EXPECT_EQ(batch.error, "");
    EXPECT_TRUE(batch.hashesIntact);
    EXPECT_EQ(batch.uploadLogLine, static_cast<long long>(batch.records.size()));
  }
  RecordProperty("events", static_cast<int>(count));
  RecordProperty("batches", static_cast<int>(batches.size()));
  std::printf("%lu events in %.1f s (%.0f a second) in %zu batches, all arrived once and intact\n", count, elapsed,
              count / elapsed, batches.size());
}

}  // namespace
