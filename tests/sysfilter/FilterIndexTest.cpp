// A filter set runs for each event only the filters of its EventID and provider, and judges equal
// elements of those filters once. What an event gets (the count, "detectFilterIds" in server
// order, the response objects) is the same whether or not thousands of filters that cannot apply
// stand around the ones that do; filters whose keys are missing, empty or not texts apply exactly
// where an equal comparison lets them; filters that share an element still differ by the others.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestJson.h"
#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/FilterSet.h"
#include "WinEventData.h"

namespace sysfilter {
namespace {

constexpr char kSecurityProvider[] = "Microsoft-Windows-Security-Auditing";

// Element trees on the EventData entry "Any": one that every event meets, and two that test its
// value, the first written twice with its members in another order.
constexpr char kAlways[] =
    R"({"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
        "filterElementAttributeName":"Name","filterElementAttributeValue":"Any",
        "filterElementSearchFlag":"el","filterElementSearchType":"input","filterElementSearchText":""}]})";
constexpr char kAnyIsX[] =
    R"({"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
        "filterElementAttributeName":"Name","filterElementAttributeValue":"Any",
        "filterElementSearchFlag":"eq","filterElementSearchType":"input","filterElementSearchText":"x"}]})";
constexpr char kAnyIsXReordered[] =
    R"({"childArray":[{"filterElementSearchText":"x","filterElementSearchType":"input",
        "filterElementSearchFlag":"eq","filterElementAttributeValue":"Any",
        "filterElementAttributeName":"Name","filterElementName":"Data"}],"filterElementName":"EventData"})";
constexpr char kAnyIsY[] =
    R"({"filterElementName":"EventData","childArray":[{"filterElementName":"Data",
        "filterElementAttributeName":"Name","filterElementAttributeValue":"Any",
        "filterElementSearchFlag":"eq","filterElementSearchType":"input","filterElementSearchText":"y"}]})";

json_t* Filter(json_t* id, json_t* filterEvent, std::vector<const char*> trees = {kAlways}) {
  json_t* elements = json_array();
  for (const char* tree : trees) json_array_append_new(elements, Json(tree));
  json_t* filter = json_pack("{s:o, s:o, s:[]}", "filterId", id, "filterElementJson", elements,
                             "edrFilterElementList");
  if (filterEvent) json_object_set_new(filter, "filterEvent", filterEvent);
  return filter;
}

json_t* Keys(const char* eventId, const char* provider) {
  return json_pack("{s:s, s:s}", "filterEventKey", eventId, "filterEventProviderKey", provider);
}

// Filters on EventIDs and providers that no event of these tests carries, some sharing the
// EventID or the provider of those that apply.
void AddFiltersThatCannotApply(json_t* filters, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string eventId = std::to_string(i % 3 ? 20000 + i : 4625);
    const char* provider = i % 3 == 1 ? kSecurityProvider : "Another-Provider";
    json_array_append_new(filters,
                          Filter(json_integer(100000 + i), Keys(eventId.c_str(), provider)));
  }
}

// The set's filters in order, with `around` filters that cannot apply before, between and after
// each of them.
json_t* Interleaved(const json_t* applying, int around) {
  json_t* filters = json_array();
  size_t index;
  json_t* filter;
  json_array_foreach(applying, index, filter) {
    AddFiltersThatCannotApply(filters, around);
    json_array_append(filters, filter);
  }
  AddFiltersThatCannotApply(filters, around);
  return filters;
}

// Count, "detectFilterIds" and "edrAgentDefenseList" of one event.
std::string Detected(cFilterSet& filters, const std::string& xml) {
  EvtRecord record;
  record.Parse(Rendered(xml).c_str());
  const int count = filters.Action(record, false);
  return std::to_string(count) + " " + Compact(record.DetectFilterIds()) + " " +
         Compact(record.EdrAgentDefenseList());
}

std::string Event(const std::string& system, const char* any = "x") {
  return "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>" + system +
         "<Channel>System</Channel></System><EventData><Data Name='Any'>" + any +
         "</Data></EventData></Event>";
}

TEST(FilterIndex, KeysMatchAsAnEqualComparisonDoes) {
  json_t* applying = json_array();
  json_array_append_new(applying,
                        Filter(json_string("first"), Keys("4625", kSecurityProvider), {kAnyIsX}));
  json_array_append_new(applying, Filter(json_string("no filterEvent"), nullptr));
  json_array_append_new(
      applying, Filter(json_integer(2), Keys("4625", kSecurityProvider), {kAlways, kAnyIsY}));
  json_array_append_new(applying,
                        Filter(json_string("provider only"),
                               json_pack("{s:s}", "filterEventProviderKey", kSecurityProvider)));
  json_array_append_new(applying, Filter(json_string("numeric key"),
                                         json_pack("{s:i, s:s}", "filterEventKey", 4625,
                                                   "filterEventProviderKey", kSecurityProvider)));
  json_array_append_new(applying,
                        Filter(json_string("qualified"), Keys("7036", "Service Control Manager")));
  json_array_append_new(applying, Filter(json_string("blank"), Keys("4625 ", kSecurityProvider)));
  json_array_append_new(applying, Filter(json_string("last"), Keys("4625", kSecurityProvider),
                                         {kAnyIsXReordered, kAlways}));

  const std::string provider = std::string("<Provider Name='") + kSecurityProvider + "'/>";
  const struct {
    std::string xml, detected;
  } cases[] = {
      {Event(provider + "<EventID>4625</EventID>"), R"(2 ["first","last"] none)"},
      {Event(provider + "<EventID>4625</EventID>", "y"), R"(1 [2] none)"},
      {Event(provider + "<EventID>4625 </EventID>"), R"(1 ["blank"] none)"},
      {Event(provider + "<EventID></EventID>"), R"(2 ["provider only","numeric key"] none)"},
      {Event("<Provider Name=''/><EventID></EventID>"), R"(1 ["no filterEvent"] none)"},
      {"<Event><System><Channel>System</Channel></System></Event>", R"(1 ["no filterEvent"] none)"},
      {Event(
           "<Provider Name='Service Control Manager'/><EventID Qualifiers='16384'>7036</EventID>"),
       R"(1 ["qualified"] none)"},
      {Event(provider + "<EventID>4624</EventID>"), "0 none none"},
  };

  cFilterSet alone, among;
  ASSERT_EQ(alone.Load(json_deep_copy(applying), nullptr), 8);
  ASSERT_EQ(among.Load(Interleaved(applying, 500), nullptr), 8 + 9 * 500);
  json_decref(applying);
  for (const auto& test : cases) {
    EXPECT_EQ(Detected(alone, test.xml), test.detected) << test.xml;
    EXPECT_EQ(Detected(among, test.xml), test.detected) << test.xml;
  }
}

// The server-shaped set of the fixtures, responses and reference lists included, on the shared
// events and on events of its own EventIDs.
TEST(FilterIndex, FiltersThatCannotApplyChangeNothingAnEventGets) {
  std::vector<std::string> events;
  for (const cWinEvent& event : LoadWinEvents()) events.push_back(event.xml);
  events.push_back(
      SecurityEvent("4624", {{"TargetUserName", "SYSTEM"}, {"IpAddress", "10.1.2.3"}}));
  events.push_back(SecurityEvent("4688", {{"NewProcessId", "0x1f4"},
                                          {"NewProcessName", "C:\\Tools\\mimikatz.exe"},
                                          {"CommandLine", "mimikatz.exe"}}));

  json_t* applying = Fixture("filters.json");
  cFilterSet alone, among;
  const int loaded = alone.Load(json_deep_copy(applying), Fixture("references.json"));
  ASSERT_EQ(among.Load(Interleaved(applying, 300), Fixture("references.json")),
            loaded + 300 * (loaded + 1));
  json_decref(applying);
  int detections = 0;
  for (const std::string& xml : events) {
    const std::string detected = Detected(alone, xml);
    EXPECT_EQ(Detected(among, xml), detected) << xml;
    detections += detected[0] != '0';
  }
  EXPECT_GE(detections, 2);
}

}  // namespace
}  // namespace sysfilter
