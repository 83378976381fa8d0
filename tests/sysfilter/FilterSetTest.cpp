#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestJson.h"
#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/FilterSet.h"
#include "WinEventData.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/RecordingTools.h"
#include "tests/support/TempMachineRoot.h"

namespace sysfilter {
namespace {

// filters.json and references.json are shaped as the server sends them: reference lists, then
// filters with element trees and EDR responses.
class FilterSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tools = std::make_unique<cRecordingTools>(root.Path() + "/tools");
    for (const char* tool : {"taskkill", "netsh", "cmd", "echo"}) tools->Add(tool, 0, "done");
    ASSERT_EQ(filters.Load(Fixture("filters.json"), Fixture("references.json")), 10);
  }

  // Runs the whole set on one event; the record keeps what detection added.
  int Detect(EvtRecord& record, const std::string& xml, bool block) {
    EXPECT_EQ(record.Parse(Rendered(xml).c_str()), 0);
    return filters.Action(record, block);
  }

  static std::string ProcessEvent(const std::string& name, const std::string& pid,
                                  const std::string& commandLine) {
    return SecurityEvent(
        "4688", {{"NewProcessId", pid}, {"NewProcessName", name}, {"CommandLine", commandLine}});
  }

  static std::string LogonEvent(const std::string& user, const std::string& address) {
    return SecurityEvent("4624", {{"TargetUserName", user}, {"IpAddress", address}});
  }

  cTempMachineRoot root;
  std::unique_ptr<cRecordingTools> tools;
  cFilterSet filters;
};

TEST_F(FilterSetTest, ResponsesBuildTheirCommandsFromCaptures) {
  EvtRecord record;
  ASSERT_EQ(Detect(record, ProcessEvent("C:\\Tools\\mimikatz.exe", "0x1f4", "mimikatz.exe"), true),
            2);
  EXPECT_EQ(Compact(record.DetectFilterIds()), R"([102,"f-not-white-text"])");
  EXPECT_EQ(Compact(record.EdrAgentDefenseList()),
            R"([{"filterId":102,"edrFilterElementId":501,"isAutoDefense":"1",)"
            R"("edrDefenseOrderNo":1,"edrDefenseType":"process",)"
            R"("edrAgentDefenseCommand":"taskkill /pid 0x1f4 /f","edrAgentDefenseResult":true,)"
            R"("edrAgentRecoverCommand":"echo restore "},)"
            R"({"filterId":102,"edrFilterElementId":504,"isAutoDefense":"0",)"
            R"("edrDefenseOrderNo":2,"edrDefenseType":"network",)"
            R"("edrAgentDefenseCommand":"netsh advfirewall set allprofiles state on",)"
            R"("edrAgentDefenseResult":true,"edrAgentRecoverCommand":""}])");
  // Only the automatic response runs; the manual one waits for the server.
  EXPECT_EQ(tools->Calls(), std::vector<std::string>{"taskkill /pid 0x1f4 /f"});
}

TEST_F(FilterSetTest, BlockModeOffRunsNothingAndRecordsTheSame) {
  EvtRecord blocked;
  Detect(blocked, ProcessEvent("psexesvc.exe", "0x22", "psexesvc.exe"), true);
  EvtRecord detected;
  ASSERT_EQ(Detect(detected, ProcessEvent("psexesvc.exe", "0x22", "psexesvc.exe"), false), 2);
  EXPECT_EQ(Compact(detected.DetectFilterIds()), Compact(blocked.DetectFilterIds()));
  EXPECT_EQ(Compact(detected.EdrAgentDefenseList()), Compact(blocked.EdrAgentDefenseList()));
  EXPECT_EQ(tools->Calls(), std::vector<std::string>{"taskkill /pid 0x22 /f"});
}

TEST_F(FilterSetTest, EachRunRecordsItsOwnCommand) {
  EvtRecord first;
  Detect(first, ProcessEvent("mimikatz.exe", "0x1", "x"), false);
  const std::string firstList = Compact(first.EdrAgentDefenseList());
  EvtRecord second;
  Detect(second, ProcessEvent("mimikatz.exe", "0x2", "x"), false);
  EXPECT_NE(firstList.find("taskkill /pid 0x1 /f"), std::string::npos);
  EXPECT_NE(Compact(second.EdrAgentDefenseList()).find("taskkill /pid 0x2 /f"), std::string::npos);
}

// Responses that take the whole command line of a process start as their value, in commands that
// cmd runs and in commands that PowerShell runs (directly or through cmd).
struct cResponseKind {
  const char* command;  // the template before its placeholder
  bool automatic;
  bool powerShell;
};
const cResponseKind kResponseKinds[] = {{"cmd /c del ", true, false},
                                        {"cmd /c del ", false, false},
                                        {"powershell -Command Remove-Item ", true, true},
                                        {"powershell -Command Remove-Item ", false, true},
                                        {"cmd /c PowerShell.exe Remove-Item ", true, true}};

// One filter on every process start, with one response per template, each filling "$[v]" with
// the whole command line of the process.
json_t* WholeCommandLineFilter(const std::vector<std::pair<std::string, bool>>& templates) {
  json_t* filters = Json(R"([{"filterId": 7,
    "filterEvent": {"filterEventKey": "4688",
                    "filterEventProviderKey": "Microsoft-Windows-Security-Auditing"},
    "filterElementJson": [{"filterElementName": "EventData", "childArray": [
      {"filterElementName": "Data", "filterElementSearchFlag": "el",
       "filterElementSearchType": "input", "filterElementSearchText": ""}]}],
    "edrFilterElementList": []}])");
  json_t* responses = json_object_get(json_array_get(filters, 0), "edrFilterElementList");
  for (const auto& [command, automatic] : templates) {
    json_t* response = Json(R"({"edrFilterElementId": 1, "edrFilterElementJson": [
      {"filterElementName": "EventData", "childArray": [
        {"filterElementName": "Data", "filterElementAttributeName": "Name",
         "filterElementAttributeValue": "CommandLine", "filterElementSearchFlag": "eq",
         "filterElementSearchType": "regex", "filterElementSearchText": "^(?<v>.*)$"}]}]})");
    json_object_set_new(response, "isAutoDefense", json_string(automatic ? "1" : "0"));
    json_object_set_new(response, "edrDefenseTypeOrder", json_string(command.c_str()));
    json_array_append_new(responses, response);
  }
  return filters;
}

json_t* WholeCommandLineFilter() {
  std::vector<std::pair<std::string, bool>> templates;
  for (const cResponseKind& kind : kResponseKinds) {
    templates.emplace_back(std::string(kind.command) + "$[v]", kind.automatic);
  }
  return WholeCommandLineFilter(templates);
}

TEST_F(FilterSetTest, CapturedValuesRunOnlyWhereTheirInterpreterTakesThemAsText) {
  struct cCase {
    std::string value;
    bool cmdRefuses;
    bool powerShellRefuses;
  };
  const cCase cases[] = {
      {"C:\\Temp\\a.tmp", false, false},
      {"TEST-COMPUTER", false, false},
      {"C:\\Users\\\xe5\xb1\xb1\xe7\x94\xb0\\a.tmp", false, false},  // non-ASCII letters
      {"C:\\Program Files (x86)\\a.tmp", true, true},  // a blank outside quotes, a sub-expression
      {"TEST-COMPUTER$", false, true},
      {"-Id $(Stop-Computer)", true, true},
      {"a.tmp,C:\\Windows\\win.ini,b.tmp", false, true},
      {"@args", false, true},
      {"{Stop-Computer}", false, true},
      {"[IO.File]", false, true},
      {"a.tmp #-WhatIf", true, true},
      {"\xe2\x80\x98x\xe2\x80\x99", false, true},  // typographic quotes
      {"\xe2\x80\x9cx\xe2\x80\x9d", false, true},
      {"x&calc.tmp", true, true},
      {"a|b", true, true},
      {"a>b", true, true},
      {"a<b", true, true},
      {"a^b", true, true},
      {"%COMSPEC%", true, true},
      {"a\"b", true, true},
      {"a'b", true, true},
      {"1;calc", true, true},
      {"a`b", true, true},
      {"a\nb", true, true},
      {"a\rb", true, true},
  };
  tools->Add("powershell", 0, "done");
  cFilterSet set;
  ASSERT_EQ(set.Load(WholeCommandLineFilter(), nullptr), 1);
  for (const cCase& c : cases) {
    for (const bool block : {false, true}) {
      const std::string mode = block ? " (block)" : " (detect)";
      tools->ClearCalls();
      EvtRecord record;
      ASSERT_EQ(record.Parse(Rendered(ProcessEvent("x.exe", "0x1", c.value)).c_str()), 0);
      ASSERT_EQ(set.Action(record, block), 1) << c.value;
      const json_t* list = record.EdrAgentDefenseList();
      ASSERT_EQ(json_array_size(list), std::size(kResponseKinds)) << c.value;
      std::vector<std::string> started;
      for (size_t i = 0; i < std::size(kResponseKinds); ++i) {
        const cResponseKind& kind = kResponseKinds[i];
        const std::string command = kind.command + c.value;
        const bool runs = block && kind.automatic;
        const bool refused = runs && (kind.powerShell ? c.powerShellRefuses : c.cmdRefuses);
        if (runs && !refused) started.push_back(command);
        const json_t* response = json_array_get(list, i);
        // The server is shown the command as built, refused or not.
        EXPECT_STREQ(json_string_value(json_object_get(response, "edrAgentDefenseCommand")),
                     command.c_str());
        EXPECT_EQ(json_is_true(json_object_get(response, "edrAgentDefenseResult")), !refused)
            << command << mode;
      }
      EXPECT_EQ(tools->Calls(), started) << c.value << mode;
    }
  }
}

// A value with whitespace must not add arguments: it runs only where double quotes of the
// template hold it in one argument, and never where PowerShell reads the text again. Inside
// quotes, a value's trailing backslashes must not turn the closing quote into a literal.
TEST_F(FilterSetTest, CapturedWhitespaceRunsOnlyInsideQuotes) {
  enum ePlace { kUnquoted, kQuoted, kPowerShell };
  const std::pair<const char*, ePlace> templates[] = {
      {"taskkill /F /IM $[v]", kUnquoted},
      {"netsh advfirewall firewall add rule name=block dir=in action=block remoteip=$[v]",
       kUnquoted},
      {"taskkill /F /IM \"$[v]\" /T", kQuoted},
      {"cmd /c del \"C:\\Temp\\$[v]\" /Q", kQuoted},
      {"powershell -Command \"Stop-Process -Name $[v]\"", kPowerShell},
  };
  struct cCase {
    std::string value;
    bool runs[3];  // unquoted, quoted, in PowerShell
  };
  const cCase cases[] = {
      {"lsass.exe", {true, true, true}},
      {"x /IM lsass.exe", {false, true, false}},
      {"1.2.3.4 action=allow", {false, true, false}},
      {"Program Files\\a.tmp", {false, true, false}},
      {" ", {false, true, false}},
      {"x\t-EncodedCommand", {false, true, false}},
      {"a\vb", {false, true, false}},
      {"a\fb", {false, true, false}},
      {u8"a\u0085b", {false, true, false}},
      {u8"a\u00a0b", {false, true, false}},
      {u8"a\u1680b", {false, true, false}},
      {u8"a\u2000b", {false, true, false}},
      {u8"a\u200ab", {false, true, false}},
      {u8"a\u2028b", {false, true, false}},
      {u8"a\u2029b", {false, true, false}},
      {u8"a\u202fb", {false, true, false}},
      {u8"a\u205fb", {false, true, false}},
      {u8"a\u3000b", {false, true, false}},
      {u8"a\u200bb", {true, true, true}},  // a zero-width space is no whitespace
      {"a\\b", {true, true, true}},
      {"dir\\", {true, false, false}},  // would escape the closing quote
      {"dir\\\\", {true, false, false}},
      {"a b\\", {false, false, false}},
  };
  tools->Add("powershell", 0, "done");
  std::vector<std::pair<std::string, bool>> automatic;
  for (const auto& [command, place] : templates) automatic.emplace_back(command, true);
  cFilterSet set;
  ASSERT_EQ(set.Load(WholeCommandLineFilter(automatic), nullptr), 1);
  for (const cCase& c : cases) {
    tools->ClearCalls();
    EvtRecord record;
    ASSERT_EQ(record.Parse(Rendered(ProcessEvent("x.exe", "0x1", c.value)).c_str()), 0);
    ASSERT_EQ(set.Action(record, true), 1) << c.value;
    const json_t* list = record.EdrAgentDefenseList();
    ASSERT_EQ(json_array_size(list), std::size(templates)) << c.value;
    std::vector<std::string> started;
    for (size_t i = 0; i < std::size(templates); ++i) {
      std::string command = templates[i].first;
      command.replace(command.find("$[v]"), 4, c.value);
      const bool runs = c.runs[templates[i].second];
      // The stand-ins record their arguments joined by one blank: the command without its quotes.
      std::string recorded = command;
      recorded.erase(std::remove(recorded.begin(), recorded.end(), '"'), recorded.end());
      if (runs) started.push_back(recorded);
      const json_t* response = json_array_get(list, i);
      EXPECT_STREQ(json_string_value(json_object_get(response, "edrAgentDefenseCommand")),
                   command.c_str());
      EXPECT_EQ(json_is_true(json_object_get(response, "edrAgentDefenseResult")), runs) << command;
    }
    EXPECT_EQ(tools->Calls(), started) << c.value;
  }
}

TEST_F(FilterSetTest, ABuiltCommandGoesIntoTheLogEscaped) {
  cCapturedLog log;
  cFilterSet set;
  ASSERT_EQ(set.Load(WholeCommandLineFilter(), nullptr), 1);
  EvtRecord record;
  const std::string forged = "a\n[2024-01-01 00:00:00.000] [event] [info] forged";
  ASSERT_EQ(record.Parse(Rendered(ProcessEvent("x.exe", "0x1", forged)).c_str()), 0);
  ASSERT_EQ(set.Action(record, true), 1);
  EXPECT_TRUE(log.Has("*** Response(auto)=cmd /c del a\\n[2024-01-01 00:00:00.000] [event] [info] forged"))
      << log.Text();
  EXPECT_FALSE(log.Has("\n[2024-01-01")) << log.Text();
}

TEST_F(FilterSetTest, SearchTypesAndReferenceLists) {
  struct cCase {
    std::string xml;
    const char* ids;
  };
  const cCase cases[] = {
      {LogonEvent("SYSTEM", "10.1.2.3"), R"(["f-system-logon"])"},
      {LogonEvent("SYSTEM", "203.0.113.5"), R"(["f-system-logon","f-outside-white"])"},
      {LogonEvent("bob", "192.168.1.10"), "none"},
      {LogonEvent("bob", "192.168.1.11"), R"(["f-outside-white"])"},
      {LogonEvent("bob", "172.20.0.1"), R"(["f-outside-white","f-user-ip"])"},
      {LogonEvent("bob", "-"), "none"},  // no address: "nel" does not match either
      {LogonEvent("SYSTEMS", "10.0.0.1"), "none"},
      {SecurityEvent("4624", {{"TargetUserName", "SYSTEM"}}), R"(["f-system-logon"])"},
      {SecurityEvent("4624", {{"TargetUserName", ""}, {"IpAddress", "8.8.8.8"}}),
       R"(["f-outside-white"])"},
      {ProcessEvent("C:\\Windows\\System32\\svchost.exe", "0x9", "svchost.exe -k"), "none"},
      {ProcessEvent("C:\\Windows\\System32\\cmd.exe", "0x9", "cmd.exe /c whoami"),
       R"(["f-not-white-text","f-shell-and-switch"])"},
      {ProcessEvent("C:\\Windows\\System32\\cmd.exe", "0x9", "cmd.exe"), R"(["f-not-white-text"])"},
      {ProcessEvent("PSEXESVC.exe", "0x9", "x"), R"(["f-not-white-text"])"},
  };
  for (const cCase& c : cases) {
    EvtRecord record;
    Detect(record, c.xml, false);
    EXPECT_EQ(Compact(record.DetectFilterIds()), c.ids) << c.xml;
  }
  EXPECT_TRUE(tools->Calls().empty());
}

TEST_F(FilterSetTest, SelfClosingElementIsEmpty) {
  // The text of the next entry must not count as the value of the empty one.
  const std::string xml =
      SecurityEvent("4688", {{"NewProcessName'/><Data Name='CommandLine", "cmd.exe /c x"}});
  EvtRecord record;
  Detect(record, xml, false);
  EXPECT_EQ(Compact(record.DetectFilterIds()), R"(["f-not-white-text"])");
}

TEST_F(FilterSetTest, NestedElementTree) {
  const std::string cleared =
      "<Event><System><Provider Name='Microsoft-Windows-Eventlog' Guid='{x}'/><EventID>1102"
      "</EventID><Channel>Security</Channel></System><UserData><LogFileCleared xmlns='urn:x'>"
      "<SubjectUserSid>S-1</SubjectUserSid><SubjectUserName>test_user</SubjectUserName>"
      "</LogFileCleared></UserData></Event>";
  EvtRecord record;
  Detect(record, cleared, false);
  // The sibling of the leaf is an item of the same element, not an element of its own.
  EXPECT_EQ(Compact(record.DetectFilterIds()), R"(["f-log-cleared"])");
}

TEST_F(FilterSetTest, ClearAndReload) {
  EvtRecord before;
  EXPECT_EQ(Detect(before, LogonEvent("SYSTEM", "10.0.0.1"), false), 1);
  filters.Clear();
  EvtRecord cleared;
  EXPECT_EQ(Detect(cleared, LogonEvent("SYSTEM", "10.0.0.1"), false), 0);
  EXPECT_EQ(filters.Load(nullptr, nullptr), 0);
  EXPECT_EQ(filters.Load(Fixture("filters.json"), nullptr),
            10);  // lists unknown: "nel" holds for all
  EvtRecord reloaded;
  EXPECT_EQ(Detect(reloaded, LogonEvent("bob", "10.0.0.1"), false), 1);
  EXPECT_EQ(Compact(reloaded.DetectFilterIds()), R"(["f-outside-white"])");
}

}  // namespace
}  // namespace sysfilter
