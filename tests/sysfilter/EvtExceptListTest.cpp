#include <gtest/gtest.h>

#include "TestJson.h"
#include "VarloService/sysfilter/EvtExceptList.h"
#include "VarloService/sysfilter/EvtRecord.h"
#include "WinEventData.h"

namespace {

class EvtExceptListTest : public ::testing::Test {
 protected:
  // What the collector does with the result: 0 goes on, 1 goes on at once (select), 2 dropped.
  int Decide(const char* exceptions, const std::string& xml) {
    cEvtExceptList list;
    list.Load(Json(exceptions));
    EvtRecord record;
    record.Parse(Rendered(xml).c_str());
    return list.Decide(record);
  }

  const std::string logon4624 =
      SecurityEvent("4624", {{"TargetUserName", "SYSTEM"}, {"LogonType", "5"}, {"IpAddress", ""}});
  const std::string logon4625 = SecurityEvent("4625", {{"TargetUserName", "bob"}});
};

TEST_F(EvtExceptListTest, SelectEntriesStandFirstAndTheFirstMatchDecides) {
  cEvtExceptList list;
  EXPECT_EQ(list.Load(Json(R"([
      {"exceptEntry": {"EventID": "4625"}},
      {"exceptType": "select", "xmlChannelValue": ["Security"]},
      {"exceptType": "Select", "xmlChannelValue": ["System"]},
      {"exceptType": "select", "xmlChannelValue": ["Application"]}])")),
            4);
  EXPECT_EQ(list.SelectCount(), 2u);
  ASSERT_EQ(list.Entries().size(), 4u);

  EvtRecord record;
  record.Parse(Rendered(logon4625).c_str());
  EXPECT_EQ(list.Decide(record), 1);  // the ordinary exception that matches stands later
  EXPECT_EQ(list.Entries()[0].Check(record), 1);
  EXPECT_EQ(list.Entries()[1].Check(record), 0);
  EXPECT_EQ(list.Entries()[2].Check(record), 1);
}

TEST_F(EvtExceptListTest, ChannelsAndConditions) {
  struct cCase {
    const char* exceptions;
    const std::string& xml;
    int decision;
  };
  const cCase cases[] = {
      {R"([{"xmlChannelValue": ["Security"]}])", logon4624, 2},
      {R"([{"xmlChannelValue": ["System", "Security"]}])", logon4624, 2},
      {R"([{"xmlChannelValue": ["Securit"]}])", logon4624, 0},
      {R"([{"xmlChannelValue": ["security"]}])", logon4624, 0},
      {R"([{"xmlChannelValue": [5]}])", logon4624, 0},
      {R"([{}])", logon4624, 2},  // neither channels nor conditions: every event
      {R"([{"xmlChannelValue": [], "exceptEntry": {}}])", logon4624, 2},
      {R"([])", logon4624, 0},
      {R"([{"exceptEntry": {"EventID": "4624"}}])", logon4624, 2},
      {R"([{"exceptEntry": {"EventID": "4624"}}])", logon4625, 0},
      {R"([{"exceptEntry": {"EventID": "462"}}])", logon4624, 0},
      {R"([{"exceptEntry": {"EventID": "^46(24|25)$"}, "isRegex": {"EventID": "1"}}])", logon4624,
       2},
      {R"([{"exceptEntry": {"EventID": "^46(24|25)$"}, "isRegex": {"EventID": "1"}}])", logon4625,
       2},
      {R"([{"exceptEntry": {"EventID": "^46(24|25)$"}, "isRegex": {"EventID": "0"}}])", logon4624,
       0},
      {R"([{"exceptEntry": {"EventID": "^46(24|25)$"}, "isRex": {"EventID": "1"}}])", logon4624, 0},
      {R"([{"exceptEntry": {"EventID": "regex=^462"}}])", logon4624, 2},
      {R"([{"exceptEntry": {"EventID": 4624}}])", logon4624, 2},
      {R"([{"exceptEntry": {"TargetUserName": "SYSTEM", "LogonType": "5"}}])", logon4624, 2},
      {R"([{"exceptEntry": {"TargetUserName": "SYSTEM", "LogonType": "3"}}])", logon4624, 0},
      {R"([{"exceptEntry": {"TargetUserName": "SYS"}}])", logon4624, 0},
      {R"([{"exceptEntry": {"Missing": ".*"}, "isRegex": {"Missing": "1"}}])", logon4624, 0},
      {R"([{"exceptEntry": {"IpAddress": ""}}])", logon4624, 2},
      {R"([{"exceptEntry": {"IpAddress": "-"}}])", logon4624, 0},
      {R"([{"exceptEntry": {"": "x"}}])", logon4624, 2},  // an empty name is no condition
      {R"([{"xmlChannelValue": ["Security"], "exceptEntry": {"EventID": "4624"}}])", logon4625, 0},
      {R"([{"exceptType": "select", "exceptEntry": {"EventID": "4624"}},
           {"xmlChannelValue": ["Security"]}])",
       logon4624, 1},
      {R"([{"exceptType": "select", "exceptEntry": {"EventID": "4624"}},
           {"xmlChannelValue": ["Security"]}])",
       logon4625, 2},
  };
  for (const cCase& c : cases) EXPECT_EQ(Decide(c.exceptions, c.xml), c.decision) << c.exceptions;
}

TEST_F(EvtExceptListTest, EntryCountsItsConditions) {
  cEvtExceptEntry entry;
  json_t* exception = Json(R"({"exceptEntry": {"b": "2", "a": "1", "EventID": "4624"}})");
  EXPECT_EQ(entry.Load(exception), 3);
  json_decref(exception);
  EvtRecord record;
  record.Parse(Rendered(SecurityEvent("4624", {{"a", "1"}, {"b", "2"}})).c_str());
  EXPECT_EQ(entry.Check(record), 1);
}

TEST(GetEventData, FindsTheValueOrSaysWhatIsMissing) {
  struct cCase {
    const char* body;
    int result;
    const char* value;
  };
  const cCase cases[] = {
      {"<EventData><Data Name='a'>1</Data><Data Name='x'>v</Data></EventData>", 1, "v"},
      {"<EventData><Data Name='x'></Data></EventData>", 1, ""},
      {"<EventData><Data Name='x'/><Data Name='y'>other</Data></EventData>", 1, ""},
      {"<EventData><Data Name='xy'>1</Data></EventData>", -2, ""},
      {"<UserData><Data Name='x'>1</Data></UserData>", -1, ""},
      {"", -1, ""},
      {"<EventData><Data Name='x'", -3, ""},
      {"<EventData><Data Name='x'>1", -4, ""},
  };
  for (const cCase& c : cases) {
    std::string_view value;
    EXPECT_EQ(cEvtExceptEntry::GetEventData(c.body, "x", value), c.result) << c.body;
    if (c.result == 1) {
      EXPECT_EQ(value, c.value) << c.body;
    }
  }
}

TEST(EvtExceptList, NothingToLoad) {
  cEvtExceptList list;
  EXPECT_EQ(list.Load(nullptr), 0);
  EXPECT_EQ(list.Load(json_object()), 0);
  EXPECT_TRUE(list.Entries().empty());
  EXPECT_EQ(list.SelectCount(), 0u);
}

}  // namespace
