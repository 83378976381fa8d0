// The bytes that leave the agent for a fixed road of events, pinned by the digests of their
// envelopes: records with the characters JSON escapes, text in other scripts, surrogates paired and
// not, events that lack pieces, detections with responses, an event too large for any batch, and
// both mode changes of the envelope. Whatever makes the road faster leaves every byte as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Sha256.h"
#include "platform/TextConv.h"
#include "tests/evtlog/EvtLogFixture.h"

namespace {

constexpr char kSecurityAuditing[] = "Microsoft-Windows-Security-Auditing";

// Failed logons of "admin" meet two filters; started processes meet a third, whose response
// takes the program's name from the event.
const char kFilters[] = R"([{"filterId":"F1",
  "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
  "filterElementJson":[{"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
    "filterElementAttributeName":"Name","filterElementAttributeValue":"TargetUserName",
    "filterElementSearchFlag":"eq","filterElementSearchType":"input","filterElementSearchText":"admin"}]}],
  "edrFilterElementList":[]},
 {"filterId":2,
  "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
  "filterElementJson":[{"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
    "filterElementAttributeName":"Name","filterElementAttributeValue":"TargetUserName",
    "filterElementSearchFlag":"el","filterElementSearchType":"regex","filterElementSearchText":"^adm"}]}],
  "edrFilterElementList":[]},
 {"filterId":{"rule":3},
  "filterEvent":{"filterEventKey":"4688","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
  "filterElementJson":[{"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
    "filterElementAttributeName":"Name","filterElementAttributeValue":"CommandLine",
    "filterElementSearchFlag":"el","filterElementSearchType":"input","filterElementSearchText":"-enc"}]}],
  "edrFilterElementList":[{"edrFilterElementId":"R3","isAutoDefense":"0","edrDefenseOrderNo":1,
    "edrDefenseType":"kill","edrDefenseTypeOrder":"taskkill /f /im \"$[name]\"","isUseRecover":"1",
    "edrRecoverCommand":"start $[name]",
    "edrFilterElementJson":[{"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
      "filterElementAttributeName":"Name","filterElementAttributeValue":"NewProcessName",
      "filterElementSearchFlag":"el","filterElementSearchType":"regex",
      "filterElementSearchText":"(?<name>[^\\\\]+)$"}]}]}]}])";

// Characters that JSON escapes or that are not ASCII, in event data.
const char* const kAwkwardTexts[] = {
    "say \"hi\" to C:\\Users\\bob",
    "tab\there, line\nfeed, return\r, \x01\x02\x1f and \x7f",
    "a/b \xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e "
    "\xed\x95\x9c\xea\xb5\xad\xec\x96\xb4",
    "emoji \xf0\x9f\x98\x80 and &amp; &lt;b&gt;",
};

std::vector<std::u16string> FixedEvents() {
  std::vector<std::u16string> events;
  const auto add = [&](const std::string& xml) { events.push_back(Utf8ToUtf16(xml)); };
  for (unsigned i = 0; i < 700; ++i) {
    const std::string user = i % 9 ? "user" + std::to_string(i % 23) : "admin";
    const std::string awkward = kAwkwardTexts[i / 4 % 4];
    switch (i % 4) {
      case 0:
        add(FailedLogon(user, i));
        break;
      case 1:
        add(RenderedEvent(
            kSecurity, kSecurityAuditing, "4688",
            {{"SubjectUserName", user},
             {"NewProcessName",
              i % 3 ? "C:\\Windows\\System32\\cmd.exe" : "C:\\Temp\\t\xc3\xa4ter.exe"},
             {"CommandLine", i / 4 % 2 ? "powershell -enc SQBFAFgA" : "cmd /c " + awkward}},
            i));
        break;
      case 2:
        add(RenderedEvent("Microsoft-Windows-Sysmon/Operational", "Microsoft-Windows-Sysmon", "1",
                          {{"Image", "C:\\Program Files\\App\\app.exe"}, {"User", awkward}}, i));
        break;
      default:
        add(RenderedEvent(kSecurity, kSecurityAuditing, "4624",
                          {{"TargetUserName", user}, {"Note", awkward}}, i));
    }
  }
  // Pieces missing: no EventID at all, and no end of the System block.
  add("<Event><System><Provider "
      "Name='P'/><Channel>Application</Channel></System><EventData/></Event>");
  add("<Event><System><Provider Name='P'/><EventID>7</EventID><Channel>System</Channel>");
  // Surrogates that pair and surrogates that do not.
  std::u16string surrogates =
      Utf8ToUtf16(RenderedEvent("Application", "App", "1000", {{"Text", "@"}}, 1));
  const size_t at = surrogates.find(u'@');
  surrogates.replace(at, 1, u"\xD83D\xDE00 \xD800 lone high, \xDC00 lone low, \xDBFF");
  events.push_back(surrogates);
  // Larger than any batch.
  add(RenderedEvent("Application", "App", "1001", {{"Text", std::string(130000, 'x')}}, 2));
  return events;
}

std::vector<std::string> EnvelopeDigests(const std::vector<cUploadedBatch>& batches) {
  std::vector<std::string> digests;
  for (const cUploadedBatch& batch : batches) {
    EXPECT_EQ(batch.error, "");
    EXPECT_TRUE(batch.hashesIntact);
    digests.push_back(Sha256Hex(batch.envelope));
  }
  return digests;
}

using UploadEnvelopeTest = cEvtLogFixture;

TEST_F(UploadEnvelopeTest, AFixedRoadOfEventsUploadsTheSameBytes) {
  m_AgentInfo->m_AgentType = "SIEM_WIN";
  m_AgentInfo->m_AgentVersion = "5.8.0.8";
  m_AgentInfo->m_AgentId = "agent-0001";
  m_AgentInfo->m_LicenseKey = "DEMO-0000-0001";
  m_AgentInfo->m_IpAddr = "10.0.0.5";
  m_AgentInfo->m_HostName = "host-01";
  m_Svc->SetChannelMask(0);  // the events are handed in directly
  m_Svc->SyslogConf(1, 0, 1);
  json_t* filters = json_loads(kFilters, 0, nullptr);
  ASSERT_NE(filters, nullptr);
  m_Svc->SetSysFilter(filters, nullptr);
  ASSERT_EQ(m_Svc->Start(m_AgentInfo.get()), 0);

  const std::vector<std::u16string> events = FixedEvents();
  for (size_t i = 0; i < events.size(); ++i) {
    if (i == 250) m_Svc->SyslogConf(1, 1, 1);  // block mode: flushed, "edrBlockMode" rewritten
    if (i == 500) m_Svc->SyslogConf(0, 0, 0);  // detection off: flushed, both EDR members gone
    m_Svc->OnRx(events[i].c_str());
  }
  m_Svc->Uploader().Flush();

  const std::vector<std::string> expected = {
      "d248267fb31cdd312b5845651ed1009146ba8d4c0d4fbe5ce6163d0860a47210",  // full
      "efeaaba585aae084e92125473960f7f8ba8a13989410beff415196e392229696",  // sent at block mode
      "505136d4ecc2ecc96e1d57268cb42847568ce6b8e501905117fbb8a34c3ce676",  // full
      "5e14f01a9add8a4b1dd0c84c2a75779d4a6123f787df1537fc3fb5dd0c8ba89c",  // sent at detection off
      "fe34e3e5750bac304a500369a71469fb1da900ed8268234ad2b7f1c49e2663b8",  // full
      "2a30ebbb0d4e4a5a9117f72dc148a3a55d330e9e35f5f661768f8ec3272c26f7",  // the next does not fit
      "3aee5675514eb7486ce6a0d197d33f4f189253bdb0cee76c4a79c34988ebb4b4",  // the large one alone
  };
  EXPECT_EQ(EnvelopeDigests(m_Server.Batches()), expected);
}

}  // namespace
