#include <gtest/gtest.h>

#include <map>

#include "VarloService/sysfilter/EvtRecord.h"
#include "WinEventData.h"

namespace {

struct cSystemFields {
  std::string eventId, provider, channel;
};

TEST(EvtRecord, FindsTheSystemFieldsOfEveryRealRendering) {
  const std::vector<cWinEvent> events = LoadWinEvents();
  if (events.empty()) GTEST_SKIP() << "no rendered events in " << WinEventFolder();
  // The first event of some files, with the forms they show: Qualifiers on the EventID, a Guid
  // beside the Name, and a RenderingInfo block that names the channel a second time.
  const std::map<std::string, cSystemFields> expected = {
      {"ec1.xml", {"1000", "EventCreate", "Application"}},
      {"application-windows-error-reporting.xml",
       {"1001", "Windows Error Reporting", "Application"}},
      {"original.xml", {"4", "Integration Test", "WinlogbeatTestGo"}},
      {"otel/xmlRenderingInfoSecurity.xml",
       {"4624", "Microsoft-Windows-Security-Auditing", "Security"}},
      {"otel/xmlRenderingInfoSystem.xml", {"7036", "Service Control Manager", "System"}},
      {"otel/xmlSampleUserData.xml", {"1102", "Microsoft-Windows-Eventlog", "Security"}},
      {"otel/xmlWithCorrelation.xml", {"4624", "Microsoft-Windows-Security-Auditing", "Security"}},
  };
  std::map<std::string, int> seen;
  for (const cWinEvent& event : events) {
    EvtRecord record;
    const std::u16string xml = Rendered(event.xml);
    EXPECT_EQ(record.Parse(xml.c_str()), 0) << event.file;
    EXPECT_EQ(record.Text(), event.xml);
    EXPECT_FALSE(record.EventId().empty()) << event.file;
    EXPECT_FALSE(record.Provider().empty()) << event.file;
    EXPECT_FALSE(record.Channel().empty()) << event.file;
    EXPECT_TRUE(record.HasBody()) << event.file;
    EXPECT_EQ(record.DetectFilterIds(), nullptr);
    const auto wanted = expected.find(event.file);
    if (wanted == expected.end() || seen[event.file]++ > 0) continue;
    EXPECT_EQ(record.EventId(), wanted->second.eventId) << event.file;
    EXPECT_EQ(record.Provider(), wanted->second.provider) << event.file;
    EXPECT_EQ(record.Channel(), wanted->second.channel) << event.file;
  }
  EXPECT_EQ(seen.size(), expected.size());
}

TEST(EvtRecord, ReportsTheFirstMissingPiece) {
  const std::string ok =
      "<Event><System><Provider Name='P q' Guid='{1}'/><EventID Qualifiers='0'>7</EventID>"
      "<Channel>C</Channel></System><EventData/><RenderingInfo><Channel>Other</Channel>"
      "</RenderingInfo></Event>";
  const std::vector<std::pair<std::string, int>> cases = {
      {ok, 0},
      {"<Event><System></System></Event>", -1},
      {"<EventID", -2},
      {"<EventID>7", -3},
      {"<EventID>7</EventID>", -4},
      {"<EventID>7</EventID><Provider Guid='x'/>", -5},
      {"<EventID>7</EventID><Provider Name='P", -6},
      {"<EventID>7</EventID><Provider Name='P'/>", -7},
      {"<EventID>7</EventID><Provider Name='P'/><Channel", -8},
      {"<EventID>7</EventID><Provider Name='P'/><Channel>C", -9},
      {"<EventID>7</EventID><Provider Name='P'/><Channel>C</Channel>", -10},
  };
  for (const auto& [xml, code] : cases) {
    EvtRecord record;
    EXPECT_EQ(record.Parse(Rendered(xml).c_str()), code) << xml;
    EXPECT_EQ(record.Text(), xml);
    EXPECT_EQ(record.EventId().empty(), code >= -3 && code < 0) << xml;
    EXPECT_EQ(record.Provider().empty(), code >= -6 && code < 0) << xml;
    EXPECT_EQ(record.Channel().empty(), code >= -9 && code < 0) << xml;
    EXPECT_EQ(record.HasBody(), code == 0) << xml;
  }
  EvtRecord record;
  record.Parse(Rendered(ok).c_str());
  EXPECT_EQ(record.EventId(), "7");
  EXPECT_EQ(record.Provider(), "P q");
  EXPECT_EQ(record.Channel(), "C");  // the System block's, not the rendering's
  EXPECT_EQ(record.Body(),
            "<EventData/><RenderingInfo><Channel>Other</Channel></RenderingInfo></Event>");
}

TEST(EvtRecord, SpansCountUtf8Bytes) {
  EvtRecord record;
  const std::u16string xml =
      u"<EventID>1</EventID><Provider Name='\u30c6\u30b9\u30c8'/><Channel>\U0001F600</Channel>"
      u"</System>";
  ASSERT_EQ(record.Parse(xml.c_str()), 0);
  EXPECT_EQ(record.Provider(), "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88");
  EXPECT_EQ(record.Channel(), "\xf0\x9f\x98\x80");
  EXPECT_TRUE(record.Body().empty());
  EXPECT_TRUE(record.HasBody());
}

TEST(EvtRecord, ParsingAgainLeavesNoStaleSpan) {
  EvtRecord record;
  record.Parse(Rendered(SecurityEvent("4624", {})).c_str());
  EXPECT_EQ(record.Parse(u"<EventID>9</EventID>"), -4);
  EXPECT_EQ(record.EventId(), "9");
  EXPECT_TRUE(record.Provider().empty());
  EXPECT_TRUE(record.Channel().empty());
  EXPECT_FALSE(record.HasBody());
}

TEST(EvtRecord, UnpairedSurrogateStillGivesARecord) {
  EvtRecord record;
  const char16_t xml[] = {u'<', u'E', u'v', u'e', u'n', u't', u'I', u'D', u'>', u'1', 0xD800,
                          u'<', u'/', u'E', u'v', u'e', u'n', u't', u'I', u'D', u'>', 0};
  EXPECT_EQ(record.Parse(xml), -4);
  EXPECT_EQ(record.EventId(), "1\xef\xbf\xbd");
}

TEST(EvtRecord, HoldsItsOwnReferences) {
  json_t* id = json_string("f1");
  {
    EvtRecord record;
    record.AddDetectFilterId(id);
    record.AddDetectFilterId(id);
    EXPECT_EQ(json_array_size(record.DetectFilterIds()), 2u);
    EXPECT_EQ(id->refcount, 3u);
  }
  EXPECT_EQ(id->refcount, 1u);
  json_decref(id);
}

}  // namespace
