#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "VarloService/sysfilter/EvtExceptList.h"
#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/FilterSet.h"
#include "WinEventData.h"

namespace sysfilter {
namespace {

json_t* SearchItem(json_t* flag, const char* type, json_t* text) {
  json_t* item = json_pack("{s:s, s:o, s:s}", "filterElementName", "Data",
                           "filterElementSearchFlag", flag, "filterElementSearchType", type);
  if (text) json_object_set_new(item, "filterElementSearchText", text);
  return item;
}

json_t* EventDataTree(json_t* item) {
  return json_pack("[{s:s, s:[o]}]", "filterElementName", "EventData", "childArray", item);
}

json_t* References() {
  return json_pack(
      "[{s:i, s:s, s:s, s:[{s:s, s:s}, {s:s, s:s}]},"
      " {s:i, s:s, s:s, s:[{s:s}, {s:s}]},"
      " {s:i, s:s, s:s, s:[{s:s}]}]",
      "id", 21, "type", "text", "name", "whiteText", "list", "value", "Catastrophe", "isRegEx", "0",
      "value", "(?i)^\\d+ (feather|college)", "isRegEx", "1", "id", 22, "type", "ip", "name",
      "whiteIPAddr", "list", "value", "10.0.0.0/8", "value", "0.0.0.0/0", "id", 23, "type", "ip",
      "name", "default", "list", "value", "192.168.0.0/16");
}

// Every operator with every search type for each EventID and provider of the test data, each
// filter with a response whose command takes a named group: a set shaped like the server's.
json_t* FiltersFor(const std::set<std::pair<std::string, std::string>>& keys) {
  const char* types[] = {"input", "regex", "text", "ip", "whiteText", "whiteIpAddr", "user_ip"};
  json_t* filters = json_array();
  int id = 0;
  for (const auto& [eventId, provider] : keys) {
    for (const char* op : {"eq", "el", "ne", "nel", "gt", "T", "F"}) {
      for (const char* type : types) {
        const std::string kind = type;
        json_t* text = kind == "input"   ? json_string("")
                       : kind == "regex" ? json_string("(?<word>[a-z]+) (?<second>\\w+)")
                       : kind == "text"  ? json_integer(21)
                       : kind == "ip"    ? json_integer(22)
                                         : nullptr;
        json_t* flag = op[0] == 'T' ? json_true() : op[0] == 'F' ? json_false() : json_string(op);
        json_t* response = json_pack(
            "{s:i, s:s, s:s, s:s, s:s, s:o}", "edrFilterElementId", ++id, "isAutoDefense", "1",
            "edrDefenseTypeOrder", "run $[word] $[second] $[missing]", "isUseRecover", "1",
            "edrRecoverCommand", "undo $[word]", "edrFilterElementJson",
            EventDataTree(SearchItem(json_string("el"), "regex",
                                     json_string("(?<word>\\w+)(?<second>\\s\\S+)?"))));
        json_array_append_new(
            filters, json_pack("{s:i, s:{s:s#, s:s#}, s:o, s:[o]}", "filterId", id, "filterEvent",
                               "filterEventKey", eventId.data(), eventId.size(),
                               "filterEventProviderKey", provider.data(), provider.size(),
                               "filterElementJson", EventDataTree(SearchItem(flag, type, text)),
                               "edrFilterElementList", response));
      }
    }
  }
  return filters;
}

TEST(RealEvents, ServerShapedRulesRunOnEveryEvent) {
  const std::vector<cWinEvent> events = LoadWinEvents();
  if (events.empty()) GTEST_SKIP() << "no rendered events in " << WinEventFolder();

  std::set<std::pair<std::string, std::string>> keys;
  for (const cWinEvent& event : events) {
    EvtRecord record;
    record.Parse(Rendered(event.xml).c_str());
    keys.emplace(record.EventId(), record.Provider());
  }
  cFilterSet filters;
  const int loaded = filters.Load(FiltersFor(keys), References());
  EXPECT_GE(loaded, 300);

  cEvtExceptList exceptions;
  exceptions.Load(json_pack("[{s:s, s:[s]}, {s:{s:s, s:s}, s:{s:s}}]", "exceptType", "select",
                            "xmlChannelValue", "System", "exceptEntry", "EventID", "^1\\d{3}$",
                            "param1", "x", "isRegex", "EventID", "1"));

  for (const cWinEvent& event : events) {
    EvtRecord record;
    record.Parse(Rendered(event.xml).c_str());
    exceptions.Decide(record);
    const int matched = filters.Action(record, false);
    // The "el" item with the empty text matches the event's own filter in any case.
    EXPECT_GE(matched, 1) << event.file;
    EXPECT_EQ(json_array_size(record.DetectFilterIds()), static_cast<size_t>(matched));
    size_t index;
    json_t* response;
    json_array_foreach(record.EdrAgentDefenseList(), index, response) {
      EXPECT_TRUE(json_is_string(json_object_get(response, "edrAgentDefenseCommand")));
      EXPECT_TRUE(json_is_string(json_object_get(response, "edrAgentRecoverCommand")));
    }
  }
}

}  // namespace
}  // namespace sysfilter
