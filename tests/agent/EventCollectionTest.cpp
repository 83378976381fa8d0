// The service's own event-collection duties against the fake upload server: the start-up notice of
// the relay, the "evtlog" test word, and the Sysmon monitor of the periodic duties.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "tests/agent/AgentFixture.h"
#include "tests/support/EventTool.h"
#include "tests/support/Occurrences.h"

namespace {

constexpr char kSysmonChannel[] = "Microsoft-Windows-Sysmon/Operational";

class EventCollectionTest : public cAgentTest {
 protected:
  // Every "ceelog" the upload server received so far.
  std::vector<std::string> Uploaded() const {
    std::vector<std::string> ceelogs;
    for (const cUploadedBatch& batch : m_Upload.Batches()) {
      EXPECT_EQ(batch.error, "");
      EXPECT_TRUE(batch.hashesIntact);
      ceelogs.insert(ceelogs.end(), batch.ceelogs.begin(), batch.ceelogs.end());
    }
    return ceelogs;
  }

  // Waits until what was uploaded satisfies done. Batches leave by age at the next event, so the
  // clock moves and marker events follow until it does.
  template <class Done>
  bool WaitForUploads(Done done) {
    for (int round = 0; round < 6; ++round) {
      if (done(Uploaded())) return true;
      m_Clock.Advance(11000);
      const uint32_t handled = m_Service->m_EvtLogSvc.RxCount();
      EXPECT_TRUE(platform::AppendEvents(
          "Application", {RenderedEvent("Application", "Marker", "1", {}, ++m_Markers)}));
      EXPECT_TRUE(WaitUntil(10000, [&] { return m_Service->m_EvtLogSvc.RxCount() > handled; }));
      if (WaitUntil(2000, [&] { return done(Uploaded()); })) return true;
    }
    return false;
  }

  // The uploaded event that holds the text, or an empty text.
  std::string WaitForUpload(const std::string& text) {
    std::string found;
    WaitForUploads([&](const std::vector<std::string>& ceelogs) {
      for (const std::string& ceelog : ceelogs) {
        if (ceelog.find(text) == std::string::npos) continue;
        found = ceelog;
        return true;
      }
      return false;
    });
    return found;
  }

  // Sysmon's service key, as its installer leaves it.
  static void AddSysmonKey(const std::string& name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SYSTEM\\CurrentControlSet\\Services\\" + name).c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // A Sysmon event appended now arrives through the subscription.
  void ExpectSysmonEventUploaded() {
    const std::string event =
        RenderedEvent(kSysmonChannel, "Microsoft-Windows-Sysmon", "1", {{"Image", "C:\\Windows\\cmd.exe"}}, 7);
    ASSERT_TRUE(platform::AppendEvents(kSysmonChannel, {event}));
    EXPECT_EQ(WaitForUpload("Microsoft-Windows-Sysmon"), event);
  }

  // Re-subscriptions since the sign-in, and notices of the event watchdog.
  size_t Subscriptions() const { return Occurrences(ServiceLog(), "EvtSubscribe(ch="); }
  size_t WatchdogNotices() const { return Occurrences(ServiceLog(), "m_EvtLogSvc.Watchdog()=1"); }

  unsigned m_Markers = 0;
};

TEST_F(EventCollectionTest, TheStartNoticeAndTheTestWordsEventAreUploadedThroughTheSubscription) {
  SignInWithSysLogOn();
  m_Service->m_AutoUpdate = 0;
  ASSERT_TRUE(m_Service->m_EvtLogSvc.Subscribed());

  const std::string notice = WaitForUpload("<Data>VARLO Service</Data>");
  EXPECT_NE(notice.find("<Provider Name='Varlo'/>"), std::string::npos) << notice;

  const std::string message = static_cast<char>(MSG_UI_TEST) + std::string("evtlog") + '\0';
  ASSERT_TRUE(SendToServiceSlot(cMessage(message.begin(), message.end())));
  m_Service->SetReadTimeout(50);
  EXPECT_EQ(m_Service->CmdLoop(), 0);
  EXPECT_NE(ServiceLog().find("EvtLogger.Report()"), std::string::npos) << ServiceLog();

  // The test event went into the Application channel and came back through the subscription.
  std::vector<std::string> journal;
  ASSERT_TRUE(platform::ReadEvents("Application", journal));
  const std::string testText = "Hello from the VARLO service";
  size_t inJournal = 0;
  for (const std::string& event : journal) inJournal += event.find(testText) != std::string::npos;
  EXPECT_EQ(inJournal, 1u);
  const std::string uploaded = WaitForUpload(testText);
  ASSERT_FALSE(uploaded.empty()) << ServiceLog();
  EXPECT_NE(uploaded.find("<Channel>Application</Channel>"), std::string::npos) << uploaded;
}

TEST_F(EventCollectionTest, TheSysmonMonitorSubscribesOnceTheChannelAndItsServiceKeyExist) {
  SignInWithSysLogOn();
  m_Service->m_AutoUpdate = 0;
  // Every channel is selected on a fresh machine, Sysmon's among them, but it is not installed.
  ASSERT_TRUE(m_Service->m_EvtLogSvc.SysmonMissing());
  const std::string resubscribed = "cEvtLogSvc::SysmonMonitor()";

  m_Service->SvcProc();
  EXPECT_EQ(ServiceLog().find(resubscribed), std::string::npos) << "nothing installed yet";

  // The channel alone is not enough: the monitor waits for the service key.
  ASSERT_TRUE(platform::CreateEventChannel(kSysmonChannel, true));
  m_Service->SvcProc();
  EXPECT_EQ(ServiceLog().find(resubscribed), std::string::npos);
  EXPECT_TRUE(m_Service->m_EvtLogSvc.SysmonMissing());

  AddSysmonKey("Sysmon64");
  m_Service->SvcProc();
  EXPECT_NE(ServiceLog().find(resubscribed + "=0"), std::string::npos) << ServiceLog();
  EXPECT_FALSE(m_Service->m_EvtLogSvc.SysmonMissing());
  EXPECT_TRUE(m_Service->m_EvtLogSvc.Subscribed());

  // Once found, the monitor rests.
  m_Service->SvcProc();
  const std::string log = ServiceLog();
  EXPECT_EQ(log.find(resubscribed), log.rfind(resubscribed));

  ExpectSysmonEventUploaded();
}

TEST_F(EventCollectionTest, WithSysmonsKeyButNotItsChannelTheMonitorWaitsAndNoEventIsLost) {
  SignInWithSysLogOn();
  m_Service->m_AutoUpdate = 0;
  AddSysmonKey("Sysmon");
  ASSERT_TRUE(m_Service->m_EvtLogSvc.SysmonMissing());
  const size_t subscribed = Subscriptions();

  // 2,000 events stream in from another process while twenty passes run.
  constexpr unsigned kStreamed = 2000;
  const std::string pattern = m_Root.Path() + "/stream.xml";
  ASSERT_TRUE(platform::WriteFileAtomically(
      pattern, RenderedEvent("Application", "Streamer", "7", {{"Step", "x"}}, 0)));
  platform::cProcess stream;
  platform::cProcessOptions options;
  options.applicationName = ToolPath("varloevt");
  options.commandLine = "varloevt append --count " + std::to_string(kStreamed) + " --rate 1000 Application \"" +
                        pattern + "\"";
  ASSERT_EQ(stream.Start(options), static_cast<DWORD>(ERROR_SUCCESS));
  for (int pass = 1; pass <= 20; ++pass) {
    const uint32_t handled = m_Service->m_EvtLogSvc.RxCount();
    WaitUntil(2000, [&] { return m_Service->m_EvtLogSvc.RxCount() > handled + 50; });
    m_Service->SvcProc();
  }
  ASSERT_TRUE(stream.Wait(60000));

  EXPECT_LE(Subscriptions(), subscribed + 1);
  EXPECT_TRUE(m_Service->m_EvtLogSvc.SysmonMissing()) << "the channel is still awaited";
  const auto streamed = [](const std::vector<std::string>& ceelogs) {
    std::vector<unsigned> numbers;
    for (const std::string& ceelog : ceelogs) {
      if (ceelog.find("<Provider Name='Streamer'") == std::string::npos) continue;
      const size_t at = ceelog.find("<EventRecordID>") + 15;
      numbers.push_back(static_cast<unsigned>(std::stoul(ceelog.substr(at))));
    }
    return numbers;
  };
  EXPECT_TRUE(WaitForUploads([&](const std::vector<std::string>& ceelogs) {
    return streamed(ceelogs).size() >= kStreamed;
  }));
  std::vector<unsigned> numbers = streamed(Uploaded());
  std::sort(numbers.begin(), numbers.end());
  std::vector<unsigned> expected(kStreamed);
  std::iota(expected.begin(), expected.end(), 1u);
  EXPECT_EQ(numbers, expected) << "every event once";

  // Silence still wakes the event watchdog.
  const size_t notices = WatchdogNotices();
  m_Clock.Advance(61 * 1000);
  m_Service->SvcProc();
  EXPECT_EQ(WatchdogNotices(), notices + 1);

  // The channel appears: one re-subscription takes it in.
  ASSERT_TRUE(platform::CreateEventChannel(kSysmonChannel, true));
  const size_t beforeChannel = Subscriptions();
  m_Service->SvcProc();
  m_Service->SvcProc();
  EXPECT_EQ(Subscriptions(), beforeChannel + 1);
  EXPECT_FALSE(m_Service->m_EvtLogSvc.SysmonMissing());
  ExpectSysmonEventUploaded();
}

TEST_F(EventCollectionTest, ASubscriptionThatKeepsFailingIsNoticedOnceAndRetriedAtEveryPass) {
  SignInWithSysLogOn();
  m_Service->m_AutoUpdate = 0;
  const std::string failure = platform::StateFolder() + "/eventlog/subscribe-fails";
  ASSERT_TRUE(platform::WriteFileAtomically(failure, "1717"));

  m_Clock.Advance(61 * 1000);
  for (int pass = 0; pass < 6; ++pass) m_Service->SvcProc();

  const std::string log = ServiceLog();
  EXPECT_EQ(Occurrences(log, "cEvtLogSvc::Watchdog()=-1"), 6u) << "retried at every pass";
  EXPECT_EQ(WatchdogNotices(), 1u) << log;

  ASSERT_TRUE(platform::DeletePath(failure));
  m_Service->SvcProc();
  EXPECT_EQ(Occurrences(ServiceLog(), "cEvtLogSvc::Watchdog()=0"), 1u);
  // The relay sends the notice once.
  const std::string relayed = WaitForUpload("Watchdog() RESET");
  EXPECT_EQ(Occurrences(relayed, "RESET !!!"), 1u) << relayed;

  // A later silence is an episode of its own.
  m_Clock.Advance(61 * 1000);
  m_Service->SvcProc();
  EXPECT_EQ(WatchdogNotices(), 2u);
}

}  // namespace
