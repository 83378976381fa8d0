#include "VarloService/evtlog/EvtLogSvc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "VarloService/evtlog/EvtLogger.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/TextConv.h"
#include "tests/evtlog/EvtLogFixture.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/RecordingTools.h"

namespace {

constexpr uint32_t kApplication = 1u << 0;
constexpr uint32_t kSysmon = 1u << 3;
constexpr uint32_t kSecurityBit = 1u << 4;
constexpr uint32_t kTaskScheduler = 1u << 8;
constexpr uint32_t kPrintService = 1u << 12;

// Detection of failed logons of "admin", with one automatic response.
const char kFilters[] = R"([{"filterId":"F1",
  "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
  "filterElementJson":[{"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
    "filterElementAttributeName":"Name","filterElementAttributeValue":"TargetUserName",
    "filterElementSearchFlag":"eq","filterElementSearchType":"input","filterElementSearchText":"admin"}]}],
  "edrFilterElementList":[{"edrFilterElementId":"R1","isAutoDefense":"1","edrDefenseOrderNo":1,
    "edrDefenseType":"block","edrDefenseTypeOrder":"respond-logon now","isUseRecover":"0",
    "edrFilterElementJson":[{"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
      "filterElementAttributeName":"Name","filterElementAttributeValue":"IpAddress",
      "filterElementSearchFlag":"el","filterElementSearchType":"input","filterElementSearchText":"10."}]}]}]},
 {"filterId":2,
  "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
  "filterElementJson":[{"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
    "filterElementAttributeName":"Name","filterElementAttributeValue":"TargetUserName",
    "filterElementSearchFlag":"el","filterElementSearchType":"regex","filterElementSearchText":"^adm"}]}],
  "edrFilterElementList":[]}])";

json_t* Json(const char* text) {
  json_error_t error;
  json_t* value = json_loads(text, 0, &error);
  EXPECT_NE(value, nullptr) << error.text;
  return value;
}

std::string Compact(json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT | JSON_PRESERVE_ORDER);
  std::string result = text ? text : "";
  free(text);
  return result;
}

// The "agentInfo" of a batch's envelope, compact.
std::string AgentInfoOf(const cUploadedBatch& batch) {
  cJson envelope(batch.envelope);
  return Compact(json_object_get(envelope.value, "agentInfo"));
}

// Each uploaded record of the batches that is not a flush marker.
std::vector<std::string> Records(const std::vector<cUploadedBatch>& batches) {
  std::vector<std::string> records;
  for (const auto& batch : batches) {
    for (const auto& record : batch.records) {
      if (record.find("FlushMarker") == std::string::npos) records.push_back(record);
    }
  }
  return records;
}

DWORD ReadPolicy(const char* key, const char* value) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return 0;
  DWORD data = 0;
  DWORD size = sizeof data;
  RegQueryValueExA(handle, value, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(handle);
  return data;
}

bool ChannelEnabled(const char16_t* channel) {
  EVT_HANDLE config = EvtOpenChannelConfig(nullptr, channel, 0);
  EVT_VARIANT value{};
  DWORD used = 0;
  bool enabled = config && EvtGetChannelConfigProperty(config, EvtChannelConfigEnabled, 0, sizeof value, &value, &used) &&
                 value.BooleanVal;
  if (config) EvtClose(config);
  return enabled;
}

using EvtLogSvcTest = cEvtLogFixture;

TEST(EvtLogSvcConfTest, SyslogConfReportsTheChangeState) {
  cEvtLogSvc svc;
  struct {
    uint32_t detect, block, level, expected;
  } steps[] = {
      {1, 0, 0, cEvtLogSvc::ConfDetectOn},      // switched on
      {1, 1, 0, cEvtLogSvc::ConfBlockChanged},  // block mode changed
      {1, 1, 1, cEvtLogSvc::ConfBlockChanged},  // level only: the state stays
      {0, 0, 5, cEvtLogSvc::ConfDetectOff},     // switched off
      {0, 1, 5, cEvtLogSvc::ConfDetectOff},     // already off: nothing changes
  };
  for (const auto& step : steps) {
    EXPECT_EQ(svc.SyslogConf(step.detect, step.block, step.level), step.expected)
        << step.detect << " " << step.block << " " << step.level;
  }
  EXPECT_FALSE(svc.Detect());
  EXPECT_EQ(svc.OnRx(u"<Event/>"), 0);  // not collecting
}

TEST_F(EvtLogSvcTest, StartSwitchesOnSelectedChannelsAndStopSwitchesThemBack) {
  m_Svc->SetChannelMask(kApplication | kSysmon | kTaskScheduler | kPrintService);
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
  EXPECT_EQ(m_Svc->EnabledByUs(), kTaskScheduler | kPrintService);
  EXPECT_TRUE(ChannelEnabled(EvtChannelTable[8]));
  EXPECT_TRUE(ChannelEnabled(EvtChannelTable[12]));
  EXPECT_TRUE(m_Svc->SysmonMissing());
  EXPECT_EQ(ReadPolicy("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\Audit",
                       "ProcessCreationIncludeCmdLine_Enabled"),
            1u);
  EXPECT_EQ(ReadPolicy("SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ScriptBlockLogging",
                       "EnableScriptBlockLogging"),
            1u);
  EXPECT_EQ(m_Svc->Start(m_AgentInfo.get()), 1);
  EXPECT_EQ(m_Svc->EnabledByUs(), kTaskScheduler | kPrintService);

  m_Svc->Stop();
  EXPECT_FALSE(m_Svc->Subscribed());
  EXPECT_EQ(m_Svc->EnabledByUs(), 0u);
  EXPECT_FALSE(m_Svc->SysmonMissing());
  EXPECT_FALSE(ChannelEnabled(EvtChannelTable[8]));
  EXPECT_FALSE(ChannelEnabled(EvtChannelTable[12]));
  EXPECT_TRUE(ChannelEnabled(EvtChannelTable[0]));  // it was on before
}

TEST_F(EvtLogSvcTest, EventsFromAnotherProcessArriveIntactInBatches) {
  m_Svc->SetChannelMask(kApplication | kSecurityBit);
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
  const std::string file = m_Root.Path() + "/events.xml";
  std::string events = FailedLogon("user & <co>", 0) + "\n" + RenderedEvent("Security", "P", "1", {{"a", "b"}}, 0) + "\n";
  std::string sample;
  if (platform::ReadWholeFile(VARLO_TESTDATA_DIR "/winevent/application-windows-error-reporting.xml", sample)) {
    events += sample;  // a real rendering with line breaks inside a value
  }
  ASSERT_TRUE(platform::WriteFileAtomically(file, events));
  ASSERT_EQ(RunEventTool("append --count 3000 Security \"" + file + "\""), 0);
  ASSERT_TRUE(WaitHandled(3000));
  auto batches = FlushBatches();

  std::vector<std::string> appended;
  ASSERT_TRUE(platform::ReadEvents("Security", appended));
  ASSERT_EQ(appended.size(), 3000u);
  EXPECT_EQ(Ceelogs(batches), appended);
  EXPECT_GT(batches.size(), 1u);  // the batch size splits them
  for (const auto& batch : batches) {
    EXPECT_EQ(batch.error, "");
    EXPECT_TRUE(batch.hashesIntact);
    EXPECT_EQ(batch.uploadLogLine, static_cast<long long>(batch.records.size()));
    EXPECT_EQ(batch.path, "/pupload/syslog");
  }
}

TEST_F(EvtLogSvcTest, DetectionModesDecideWhatIsUploadedAndHowTheEnvelopeReadsIt) {
  cRecordingTools tools(m_Root.Path() + "/tools");
  tools.Add("respond-logon");
  m_Svc->SetChannelMask(kApplication | kSecurityBit);
  m_Svc->SetSysFilter(Json(kFilters), nullptr);
  ASSERT_EQ(m_Svc->SyslogConf(0, 0, 0), 0u);
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
  unsigned number = 0;
  auto phase = [&](const std::vector<std::string>& users) {
    std::vector<std::string> events;
    for (const auto& user : users) events.push_back(FailedLogon(user, ++number));
    Append(kSecurity, events);
    return FlushBatches();
  };

  // Detection off: everything goes, the filters loaded at start still mark their events.
  auto batches = phase({"admin", "guest"});
  auto records = Records(batches);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find(R"("detectFilterIds":["F1",2],"edrAgentDefenseList":[{"filterId":"F1")"), std::string::npos)
      << records[0];
  EXPECT_EQ(records[1].find("detectFilterIds"), std::string::npos);
  EXPECT_EQ(AgentInfoOf(batches.back()).find("edrDetectMode"), std::string::npos);
  EXPECT_TRUE(tools.Calls().empty());

  // Detection on, level 0: only detected events; responses recorded but not run.
  ASSERT_EQ(m_Svc->SyslogConf(1, 0, 0), 1u);
  batches = phase({"guest", "admin"});
  records = Records(batches);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find("admin"), std::string::npos);
  EXPECT_NE(records[0].find(R"("edrAgentDefenseCommand":"respond-logon now","edrAgentDefenseResult":true)"),
            std::string::npos);
  EXPECT_NE(AgentInfoOf(batches.back()).find(R"("edrDetectMode":"agent","edrBlockMode":"detect")"), std::string::npos);
  EXPECT_TRUE(tools.Calls().empty());

  // Block mode: the response runs.
  ASSERT_EQ(m_Svc->SyslogConf(1, 1, 0), 2u);
  batches = phase({"admin"});
  ASSERT_EQ(Records(batches).size(), 1u);
  EXPECT_NE(AgentInfoOf(batches.back()).find(R"("edrBlockMode":"block")"), std::string::npos);
  EXPECT_EQ(tools.Calls(), std::vector<std::string>{"respond-logon now"});

  // Full upload: undetected events go too.
  m_Svc->SyslogConf(1, 1, 1);
  batches = phase({"guest", "admin"});
  EXPECT_EQ(Records(batches).size(), 2u);

  // Detection off: the EDR members go and the filters with them.
  ASSERT_EQ(m_Svc->SyslogConf(0, 0, 0), 3u);
  m_Svc->SetSysFilter(Json(kFilters), nullptr);  // released unread while detection is off
  batches = phase({"admin"});
  records = Records(batches);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].find("detectFilterIds"), std::string::npos);
  EXPECT_EQ(AgentInfoOf(batches.back()).find("edrDetectMode"), std::string::npos);
  EXPECT_EQ(AgentInfoOf(batches.back()).find("edrBlockMode"), std::string::npos);
  EXPECT_EQ(tools.Calls().size(), 2u);  // the block-mode and full-upload phases' detections
}

TEST_F(EvtLogSvcTest, OnRxTellsTheRoadOfEachEvent) {
  m_Svc->SetChannelMask(0);  // nothing is delivered: the events are handed in here
  m_Svc->SetSysFilter(Json(kFilters), nullptr);
  m_Svc->SetUploadExcept(Json(R"([{"exceptEntry":{"TargetUserName":"nobody"}}])"));
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
  auto onRx = [&](const std::string& user) { return m_Svc->OnRx(Utf8ToUtf16(FailedLogon(user, 1)).c_str()); };

  // Detection off: a list handed over now is released unread; the one from Start still detects.
  m_Svc->SetSysFilter(Json("[]"), nullptr);
  EXPECT_EQ(onRx("admin"), 0);
  EXPECT_EQ(m_Svc->Uploader().Lines(), 1u);
  EXPECT_EQ(onRx("nobody"), 2);

  m_Svc->SyslogConf(1, 0, 0);
  EXPECT_EQ(onRx("guest"), 3);  // the mode change sent the batch first
  EXPECT_EQ(m_Svc->Uploader().Lines(), 0u);
  EXPECT_EQ(onRx("admin"), 0);
  m_Clock.Advance(5000);
  EXPECT_EQ(onRx("guest"), 3);
  m_Clock.Advance(1000);
  EXPECT_EQ(onRx("guest"), 1);  // the batch, 6 s old, left without this event
  EXPECT_EQ(m_Svc->Uploader().Lines(), 0u);
  auto records = Records(m_Server.Batches());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[1].find(R"("detectFilterIds":["F1",2])"), std::string::npos);

  m_Svc->Stop();
  EXPECT_EQ(onRx("admin"), 0);  // after Stop nothing is touched
}

TEST_F(EvtLogSvcTest, ExceptedEventsAreNeitherTestedNorUploaded) {
  cRecordingTools tools(m_Root.Path() + "/tools");
  tools.Add("respond-logon");
  m_Svc->SetChannelMask(kApplication | kSecurityBit);
  m_Svc->SyslogConf(1, 1, 1);
  m_Svc->SetSysFilter(Json(kFilters), nullptr);
  m_Svc->SetUploadExcept(Json(R"([{"exceptType":"select","exceptEntry":{"TargetUserName":"root"}},
    {"xmlChannelValue":["Security"],"exceptEntry":{"EventID":"4625"}}])"));
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
  Append(kSecurity, {FailedLogon("admin", 1), FailedLogon("root", 2)});
  auto records = Records(FlushBatches());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find("root"), std::string::npos);
  EXPECT_TRUE(tools.Calls().empty());
}

TEST_F(EvtLogSvcTest, FailedSubscriptionAwaitsRetryAndSysmonIsPickedUpOnceInstalled) {
  m_Svc->SetChannelMask(kApplication | kSysmon);
  const std::string failure = platform::StateFolder() + "/eventlog/subscribe-fails";
  ASSERT_TRUE(platform::CreateEventChannel("Application", true));  // makes the store
  ASSERT_TRUE(platform::WriteFileAtomically(failure, "1717"));
  EXPECT_EQ(m_Svc->Start(m_AgentInfo.get()), -1);
  EXPECT_FALSE(m_Svc->Subscribed());
  EXPECT_TRUE(m_Svc->AwaitsSubscription());
  ASSERT_TRUE(platform::DeletePath(failure));
  ASSERT_EQ(m_Svc->SubscribeChannels(), 0);  // the retry of the periodic duties
  EXPECT_FALSE(m_Svc->AwaitsSubscription());
  EXPECT_TRUE(m_Svc->SysmonMissing());
  ASSERT_EQ(m_Svc->SubscribeChannels(), 0);  // the monitor's call before Sysmon is complete
  EXPECT_TRUE(m_Svc->SysmonMissing());

  // Sysmon arrives: its channel and its service key.
  ASSERT_EQ(RunEventTool(std::string("create \"") + kSysmonName + "\""), 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Sysmon64", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(m_Svc->SubscribeChannels(), 0);  // the Sysmon monitor's re-subscription
  EXPECT_FALSE(m_Svc->SysmonMissing());
  const std::string sysmonEvent =
      RenderedEvent(kSysmonName, "Microsoft-Windows-Sysmon", "1", {{"Image", "C:\\Windows\\cmd.exe"}}, 7);
  const uint32_t handled = m_Svc->RxCount();
  ASSERT_EQ(RunEventTool(std::string("event \"") + kSysmonName + "\" \"" + sysmonEvent + "\""), 0);
  ASSERT_TRUE(WaitHandled(handled + 1));
  EXPECT_EQ(Ceelogs(FlushBatches()), std::vector<std::string>{sysmonEvent});
}

TEST_F(EvtLogSvcTest, OwnNoticesAndTheTestEventAreUploaded) {
  m_Svc->SetChannelMask(kApplication);
  m_Svc->Relay().Open(0, "C:\\Program Files\\VARLO\\logs\\event.log");
  m_Svc->Relay().AddPending("VARLO Service");
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
  m_Clock.Advance(10000);
  EvtLogger logger;
  ASSERT_TRUE(logger.Registered());
  ASSERT_TRUE(logger.Report("Hello from the agent"));
  ASSERT_TRUE(WaitHandled(1));
  auto ceelogs = Ceelogs(FlushBatches());
  ASSERT_EQ(ceelogs.size(), 2u);
  EXPECT_NE(ceelogs[0].find("<Provider Name='Varlo'/>"), std::string::npos);
  EXPECT_NE(ceelogs[0].find("<Data>VARLO Service</Data>"), std::string::npos);
  EXPECT_NE(ceelogs[1].find("<Data>Application</Data><Data>Hello from the agent</Data>"), std::string::npos);
}

TEST_F(EvtLogSvcTest, CmdRunsDefenceCommandsOnlyInBlockMode) {
  cRecordingTools tools(m_Root.Path() + "/tools");
  tools.Add("defend");
  tools.Add("recover");
  const char kCommands[] = R"([{"edrDefenseCmdReceiveLogId":11,"edrDefenseCmdType":"defense",
      "edrAgentDefenseCommand":"defend a","edrAgentRecoverCommand":"recover a"},
    {"edrDefenseCmdType":"defense","edrAgentDefenseCommand":"defend b"},
    {"edrDefenseCmdReceiveLogId":"12","edrDefenseCmdType":"recover","edrAgentRecoverCommand":"recover c"},
    {"edrDefenseCmdReceiveLogId":13,"edrDefenseCmdType":7}])";
  for (uint32_t block : {0u, 1u}) {
    m_Svc->SyslogConf(1, block, 0);
    json_t* list = Json(kCommands);
    EXPECT_EQ(m_Svc->Cmd(list), 0);
    EXPECT_EQ(Compact(list), R"([11,"12",13])");
    json_decref(list);
  }
  EXPECT_EQ(tools.Calls(), (std::vector<std::string>{"defend a", "recover c"}));
  json_t* none = Json(R"([{"edrDefenseCmdType":"defense"}])");
  m_Svc->Cmd(none);
  EXPECT_EQ(none, nullptr);
}

TEST_F(EvtLogSvcTest, CmdLogsTheServersCommandAndItsOutputEscaped) {
  cCapturedLog log;
  m_Svc->SyslogConf(1, 1, 0);
  json_t* list = Json(R"([{"edrDefenseCmdReceiveLogId":21,"edrDefenseCmdType":"defense",
      "edrAgentDefenseCommand":"no-such-tool\n[2024-01-01 00:00:00.000] [event] [info] forged"},
    {"edrDefenseCmdReceiveLogId":22,"edrDefenseCmdType":"defense",
      "edrAgentDefenseCommand":"sh -c \"printf 'out\\033[31m\\n[2024-01-01 00:00:00.000] [event]'\""}])");
  EXPECT_EQ(m_Svc->Cmd(list), 0);
  json_decref(list);
  EXPECT_TRUE(log.Has("*** Run Cmd(no-such-tool\\n[2024-01-01 00:00:00.000] [event] [info] forged)=")) << log.Text();
  EXPECT_TRUE(log.Has("--> Result=out\\x1b[31m\\n[2024-01-01 00:00:00.000] [event]\n")) << log.Text();
  EXPECT_FALSE(log.Has("\n[2024-01-01")) << log.Text();
}

TEST_F(EvtLogSvcTest, StopAndResubscriptionWhileEventsStreamIn) {
  m_Svc->SetChannelMask(kApplication | kSecurityBit);
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (unsigned number = 1; writing.load(); ++number) {
      platform::AppendEvents(kSecurity, {FailedLogon("user", number)});
    }
  });
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(m_Svc->SubscribeChannels(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (round % 5 == 4) {
      m_Svc->Stop();
      ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);
    }
  }
  uint32_t handled = m_Svc->RxCount();
  EXPECT_TRUE(WaitUntil(kEventWaitMs, [&] { return m_Svc->RxCount() > handled; }));
  writing = false;
  writer.join();
  m_Svc->Stop();
  EXPECT_FALSE(m_Svc->InCallback());
}

}  // namespace
