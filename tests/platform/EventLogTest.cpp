#include "platform/EventLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/TextConv.h"
#include "tests/support/EventTool.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/WaitUntil.h"

namespace {

const char kSysmon[] = "Microsoft-Windows-Sysmon/Operational";
const char kTaskScheduler[] = "Microsoft-Windows-TaskScheduler/Operational";

std::string Event(const std::string& channel, int id, const std::string& data = "x") {
  return "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Test'/>"
         "<EventID>" + std::to_string(id) + "</EventID><Channel>" + channel +
         "</Channel></System><EventData><Data>" + data + "</Data></EventData></Event>";
}

std::u16string Query(const std::vector<std::string>& channels) {
  std::string query = "<QueryList><Query Id=\"0\">";
  for (const auto& channel : channels) query += "<Select Path=\"" + channel + "\">*</Select>";
  return Utf8ToUtf16(query + "</Query></QueryList>");
}

// Collects delivered events, rendering each with the insufficient-buffer protocol.
struct cCollector {
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<std::string> events;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  int delayMs = 0;
  // While set, the first delivery waits in its callback until the test opens the gate.
  bool holdFirst = false;
  std::atomic<int> started{0};
  std::mutex gateLock;
  std::condition_variable gateOpened;
  bool gateOpen = false;

  void OpenGate() {
    {
      std::lock_guard<std::mutex> guard(gateLock);
      gateOpen = true;
    }
    gateOpened.notify_all();
  }

  static DWORD Callback(EVT_SUBSCRIBE_NOTIFY_ACTION action, void* context, EVT_HANDLE event) {
    auto* self = static_cast<cCollector*>(context);
    if (action != EvtSubscribeActionDeliver) return 0;
    if (self->running.fetch_add(1) != 0) self->overlapped = true;
    DWORD used = 0;
    EXPECT_FALSE(EvtRender(nullptr, event, EvtRenderEventXml, 0, nullptr, &used, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::u16string text(used / 2, u'\0');
    EXPECT_FALSE(EvtRender(nullptr, event, EvtRenderEventXml, used - 1, text.data(), &used, nullptr));
    EXPECT_TRUE(EvtRender(nullptr, event, EvtRenderEventXml, used, text.data(), &used, nullptr));
    text.resize(used / 2 - 1);
    if (self->delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(self->delayMs));
    if (self->started.fetch_add(1) == 0 && self->holdFirst) {
      std::unique_lock<std::mutex> guard(self->gateLock);
      self->gateOpened.wait(guard, [self] { return self->gateOpen; });
    }
    {
      std::lock_guard<std::mutex> guard(self->lock);
      self->events.push_back(Utf16ToUtf8(text));
    }
    self->running.fetch_sub(1);
    self->arrived.notify_all();
    return 0;
  }

  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    return arrived.wait_for(guard, std::chrono::seconds(20), [&] { return events.size() >= count; });
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return events.size();
  }
};

EVT_HANDLE Subscribe(cCollector& collector, const std::vector<std::string>& channels) {
  std::u16string query = Query(channels);
  return EvtSubscribe(nullptr, nullptr, nullptr, query.c_str(), nullptr, &collector, cCollector::Callback,
                      EvtSubscribeToFutureEvents);
}

bool ReadEnabled(const std::string& channel, BOOL& enabled) {
  EVT_HANDLE config = EvtOpenChannelConfig(nullptr, Utf8ToUtf16(channel).c_str(), 0);
  if (!config) return false;
  EVT_VARIANT value{};
  DWORD used = 0;
  bool read = EvtGetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, sizeof value, &value, &used);
  EvtClose(config);
  enabled = value.BooleanVal;
  return read && value.Type == EvtVarTypeBoolean;
}

class EventLogTest : public ::testing::Test {
 protected:
  cTempMachineRoot m_Root;
};

TEST_F(EventLogTest, FreshMachineHasStockChannelsButNotSysmon) {
  BOOL enabled = FALSE;
  ASSERT_TRUE(ReadEnabled("Application", enabled));
  EXPECT_TRUE(enabled);
  ASSERT_TRUE(ReadEnabled("security", enabled));  // names compare without regard to case
  EXPECT_TRUE(enabled);
  ASSERT_TRUE(ReadEnabled(kTaskScheduler, enabled));
  EXPECT_FALSE(enabled);
  EXPECT_EQ(EvtOpenChannelConfig(nullptr, Utf8ToUtf16(kSysmon).c_str(), 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_EVT_CHANNEL_NOT_FOUND);
}

TEST_F(EventLogTest, ChannelConfigIsStoredOnlyBySave) {
  EVT_HANDLE config = EvtOpenChannelConfig(nullptr, Utf8ToUtf16(kTaskScheduler).c_str(), 0);
  ASSERT_NE(config, nullptr);
  EVT_VARIANT value{};
  DWORD used = 0;
  EXPECT_FALSE(EvtGetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, sizeof value - 1, &value, &used));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(used, sizeof(EVT_VARIANT));

  EVT_VARIANT wrongType{};
  wrongType.Type = EvtVarTypeNull;
  EXPECT_FALSE(EvtSetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, &wrongType));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  EVT_VARIANT on{};
  on.Type = EvtVarTypeBoolean;
  on.BooleanVal = TRUE;
  ASSERT_TRUE(EvtSetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, &on));
  ASSERT_TRUE(EvtGetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, sizeof value, &value, &used));
  EXPECT_TRUE(value.BooleanVal);
  BOOL stored = TRUE;
  ASSERT_TRUE(ReadEnabled(kTaskScheduler, stored));
  EXPECT_FALSE(stored);
  ASSERT_TRUE(EvtSaveChannelConfig(config, 0));
  ASSERT_TRUE(ReadEnabled(kTaskScheduler, stored));
  EXPECT_TRUE(stored);

  // The channel went away while the configuration was open.
  ASSERT_TRUE(platform::RemoveEventChannel(kTaskScheduler));
  EXPECT_FALSE(EvtSaveChannelConfig(config, 0));
  EXPECT_EQ(GetLastError(), ERROR_EVT_CHANNEL_NOT_FOUND);
  EXPECT_TRUE(EvtClose(config));
  EXPECT_FALSE(EvtClose(config));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(EventLogTest, SubscriptionRefusesQueriesItCannotServe) {
  cCollector collector;
  EXPECT_EQ(Subscribe(collector, {"Application", kSysmon}), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_EVT_CHANNEL_NOT_FOUND);
  const std::u16string broken = u"<QueryList><Query Id=\"0\"><Select Path=\"System>*</Select>";
  EXPECT_EQ(EvtSubscribe(nullptr, nullptr, nullptr, broken.c_str(), nullptr, &collector, cCollector::Callback,
                         EvtSubscribeToFutureEvents),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_EVT_INVALID_QUERY);
}

TEST_F(EventLogTest, DeliversOnlyFutureEventsInOrderOneAtATime) {
  ASSERT_TRUE(platform::AppendEvents("Application", {Event("Application", 1)}));
  cCollector collector;
  collector.delayMs = 1;
  EVT_HANDLE subscription = Subscribe(collector, {"Application", "System"});
  ASSERT_NE(subscription, nullptr);
  std::vector<std::string> expected;
  for (int i = 2; i < 40; ++i) expected.push_back(Event("Application", i, "\r\nline & <more>"));
  ASSERT_TRUE(platform::AppendEvents("Application", expected));
  ASSERT_TRUE(platform::AppendEvents("System", {Event("System", 99)}));
  ASSERT_TRUE(collector.WaitFor(expected.size() + 1));
  EXPECT_TRUE(EvtClose(subscription));
  EXPECT_FALSE(collector.overlapped);
  std::vector<std::string> application;
  for (const auto& event : collector.events) {
    if (event.find("<Channel>Application") != std::string::npos) application.push_back(event);
  }
  EXPECT_EQ(application, expected);
  EXPECT_EQ(collector.events.size(), expected.size() + 1);
}

TEST_F(EventLogTest, ABacklogLargerThanAReadArrivesWholeAndInOrder) {
  // Megabytes of events, one of them larger than what the reader takes at a time.
  std::vector<std::string> expected;
  for (int i = 0; i < 3000; ++i) expected.push_back(Event("Application", i, std::string(1000, 'a' + i % 26)));
  expected[1700] = Event("Application", 1700, std::string(3 << 19, 'L'));
  ASSERT_TRUE(platform::AppendEvents("Application", expected));
  cCollector collector;
  std::u16string query = Query({"Application"});
  EVT_HANDLE subscription = EvtSubscribe(nullptr, nullptr, nullptr, query.c_str(), nullptr, &collector,
                                         cCollector::Callback, EvtSubscribeStartAtOldestRecord);
  ASSERT_NE(subscription, nullptr);
  ASSERT_TRUE(collector.WaitFor(expected.size()));
  EXPECT_TRUE(EvtClose(subscription));
  EXPECT_TRUE(collector.events == expected);
}

TEST_F(EventLogTest, CloseWaitsForTheRunningCallbackAndStopsDelivery) {
  cCollector collector;
  collector.holdFirst = true;
  EVT_HANDLE subscription = Subscribe(collector, {"Application"});
  ASSERT_NE(subscription, nullptr);
  ASSERT_TRUE(platform::AppendEvents("Application", {Event("Application", 1), Event("Application", 2)}));
  ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] { return collector.running.load() == 1; }));
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    EXPECT_TRUE(EvtClose(subscription));
    closed = true;
  });
  // The handle leaves the table as the close begins; the close then waits for the held callback.
  ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] { return !platform::LookupHandle(subscription); }));
  EXPECT_FALSE(closed.load());
  collector.OpenGate();
  closer.join();
  EXPECT_EQ(collector.running.load(), 0);
  size_t delivered = collector.Count();
  EXPECT_EQ(delivered, 1u);
  // A second subscription that has the later event shows it was there to deliver.
  cCollector witness;
  EVT_HANDLE open = Subscribe(witness, {"Application"});
  ASSERT_NE(open, nullptr);
  ASSERT_TRUE(platform::AppendEvents("Application", {Event("Application", 3)}));
  ASSERT_TRUE(witness.WaitFor(1));
  EXPECT_TRUE(EvtClose(open));
  EXPECT_EQ(collector.Count(), delivered);
}

struct cSelfCloser {
  std::atomic<EVT_HANDLE> subscription{nullptr};
  std::atomic<int> calls{0};
  static DWORD Callback(EVT_SUBSCRIBE_NOTIFY_ACTION, void* context, EVT_HANDLE) {
    auto* self = static_cast<cSelfCloser*>(context);
    if (self->calls.fetch_add(1) == 0) {
      EXPECT_TRUE(EvtClose(self->subscription));
    }
    return 0;
  }
};

TEST_F(EventLogTest, ClosingFromItsOwnCallbackEndsDelivery) {
  // Outlives the test: the thread that closed itself ends on its own time.
  static cSelfCloser closer;
  closer.calls = 0;
  std::u16string query = Query({"Application"});
  closer.subscription = EvtSubscribe(nullptr, nullptr, nullptr, query.c_str(), nullptr, &closer,
                                     cSelfCloser::Callback, EvtSubscribeToFutureEvents);
  ASSERT_NE(closer.subscription.load(), nullptr);
  cCollector witness;
  EVT_HANDLE open = Subscribe(witness, {"Application"});
  ASSERT_NE(open, nullptr);
  ASSERT_TRUE(platform::AppendEvents("Application", {Event("Application", 1), Event("Application", 2)}));
  ASSERT_TRUE(WaitUntil(kLongWaitMs, [] { return closer.calls.load() > 0; }));
  // Delivered to the open subscription, the later events were there for the closed one too.
  ASSERT_TRUE(platform::AppendEvents("Application", {Event("Application", 3)}));
  ASSERT_TRUE(witness.WaitFor(3));
  EXPECT_TRUE(EvtClose(open));
  EXPECT_EQ(closer.calls.load(), 1);
}

TEST_F(EventLogTest, EventsAppendedByAnotherProcessArrive) {
  cCollector collector;
  EVT_HANDLE subscription = Subscribe(collector, {kTaskScheduler});
  ASSERT_NE(subscription, nullptr);
  const std::string event = Event(kTaskScheduler, 7);
  EXPECT_EQ(RunEventTool(std::string("event \"") + kTaskScheduler + "\" \"" + event + "\""), 1);  // disabled
  ASSERT_TRUE(platform::SetEventChannelEnabled(kTaskScheduler, true));
  ASSERT_EQ(RunEventTool(std::string("append --count 500 \"") + kTaskScheduler + "\" -"), 1);  // no input
  ASSERT_TRUE(platform::WriteFileAtomically(m_Root.Path() + "/events.xml", event + "\n" + event + "\n"));
  ASSERT_EQ(RunEventTool(std::string("append --count 500 \"") + kTaskScheduler + "\" \"" + m_Root.Path() + "/events.xml\""), 0);
  ASSERT_TRUE(collector.WaitFor(500));
  EvtClose(subscription);
  EXPECT_EQ(collector.events.size(), 500u);
  EXPECT_NE(collector.events[499].find("<EventID>7</EventID>"), std::string::npos);
}

TEST_F(EventLogTest, ToolMakesSysmonAppearAndSubscriptionFindsIt) {
  ASSERT_EQ(RunEventTool(std::string("create ") + "\"" + kSysmon + "\""), 0);
  cCollector collector;
  EVT_HANDLE subscription = Subscribe(collector, {kSysmon});
  ASSERT_NE(subscription, nullptr);
  ASSERT_EQ(RunEventTool(std::string("event \"") + kSysmon + "\" \"" + Event(kSysmon, 1) + "\""), 0);
  ASSERT_TRUE(collector.WaitFor(1));
  EvtClose(subscription);
  EXPECT_EQ(collector.events[0], Event(kSysmon, 1));
  ASSERT_EQ(RunEventTool(std::string("remove \"") + kSysmon + "\""), 0);
  EXPECT_EQ(EvtOpenChannelConfig(nullptr, Utf8ToUtf16(kSysmon).c_str(), 0), nullptr);
}

TEST_F(EventLogTest, ReportEventAppendsAClassicRecord) {
  HANDLE source = RegisterEventSourceA(nullptr, "Application");
  ASSERT_NE(source, nullptr);
  LPCSTR strings[] = {"Application", "Hello <you> & 'me'"};
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0x40000003, nullptr, 2, 0, strings, nullptr));
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 5, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
  std::vector<std::string> events;
  ASSERT_TRUE(platform::ReadEvents("Application", events));
  ASSERT_EQ(events.size(), 2u);
  const std::string& first = events[0];
  for (const char* piece : {"<Provider Name='Application'/>", "<EventID Qualifiers='16384'>3</EventID>",
                            "<Level>4</Level>", "<EventRecordID>1</EventRecordID>", "<Channel>Application</Channel>",
                            "<EventData><Data>Application</Data><Data>Hello &lt;you&gt; &amp; 'me'</Data></EventData></Event>"}) {
    EXPECT_NE(first.find(piece), std::string::npos) << piece;
  }
  EXPECT_EQ(first.find('\n'), std::string::npos);
  EXPECT_NE(events[1].find("<Level>2</Level>"), std::string::npos);
  EXPECT_NE(events[1].find("<EventRecordID>2</EventRecordID>"), std::string::npos);
  EXPECT_EQ(RegisterEventSourceA("otherhost", "Application"), nullptr);
}

TEST_F(EventLogTest, DamagedJournalFramesAreSkipped) {
  ASSERT_TRUE(platform::AppendEvents("System", {Event("System", 1)}));
  FILE* journal = fopen((platform::StateFolder() + "/eventlog/system/journal").c_str(), "ab");
  ASSERT_NE(journal, nullptr);
  fputs("garbage\n99999999999\n", journal);
  fclose(journal);
  ASSERT_TRUE(platform::AppendEvents("System", {Event("System", 2)}));
  std::vector<std::string> events;
  ASSERT_TRUE(platform::ReadEvents("System", events));
  EXPECT_EQ(events, (std::vector<std::string>{Event("System", 1), Event("System", 2)}));
}

TEST_F(EventLogTest, SplitsRenderedFilesKeepingLineBreaksInsideValues) {
  const std::string folder = VARLO_TESTDATA_DIR "/winevent/";
  std::string pair, report;
  if (!platform::ReadWholeFile(folder + "ec3and4.xml", pair) ||
      !platform::ReadWholeFile(folder + "application-windows-error-reporting.xml", report)) {
    GTEST_SKIP() << "test data not found in " << folder;
  }
  auto events = platform::SplitRenderedEvents(pair + report);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].rfind("<Event xmlns=", 0), 0u);
  EXPECT_NE(events[2].find("\r\n\\\\?\\C:\\Windows\\Logs\\CBS\\CBS.log\r\n"), std::string::npos);
  EXPECT_EQ(events[2].substr(events[2].size() - 8), "</Event>");
}

}  // namespace
