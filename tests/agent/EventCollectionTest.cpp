// The service's own event-collection duties against the fake upload server: the start-up notice of
// the relay, the "evtlog" test word, and the Sysmon monitor of the periodic duties.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "tests/agent/AgentFixture.h"
#include "tests/support/EventTool.h"

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

  // The uploaded event that holds the text, or an empty text. Batches leave by age at the next
  // event, so the clock moves and marker events follow until it has arrived.
  std::string WaitForUpload(const std::string& text) {
    for (int round = 0; round < 6; ++round) {
      for (const std::string& ceelog : Uploaded()) {
        if (ceelog.find(text) != std::string::npos) return ceelog;
      }
      m_Clock.Advance(11000);
      const uint32_t handled = m_Service->m_EvtLogSvc.RxCount();
      EXPECT_TRUE(platform::AppendEvents(
          "Application", {RenderedEvent("Application", "Marker", "1", {}, ++m_Markers)}));
      EXPECT_TRUE(WaitUntil(10000, [&] { return m_Service->m_EvtLogSvc.RxCount() > handled; }));
      WaitUntil(2000, [&] {
        for (const std::string& ceelog : Uploaded()) {
          if (ceelog.find(text) != std::string::npos) return true;
        }
        return false;
      });
    }
    return "";
  }

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

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Sysmon64", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  m_Service->SvcProc();
  EXPECT_NE(ServiceLog().find(resubscribed + "=0"), std::string::npos) << ServiceLog();
  EXPECT_FALSE(m_Service->m_EvtLogSvc.SysmonMissing());
  EXPECT_TRUE(m_Service->m_EvtLogSvc.Subscribed());

  // Once found, the monitor rests.
  m_Service->SvcProc();
  const std::string log = ServiceLog();
  EXPECT_EQ(log.find(resubscribed), log.rfind(resubscribed));

  const std::string sysmonEvent =
      RenderedEvent(kSysmonChannel, "Microsoft-Windows-Sysmon", "1", {{"Image", "C:\\Windows\\cmd.exe"}}, 7);
  ASSERT_TRUE(platform::AppendEvents(kSysmonChannel, {sysmonEvent}));
  EXPECT_EQ(WaitForUpload("Microsoft-Windows-Sysmon"), sysmonEvent);
}

}  // namespace
