// The event road: the event record cut from rendered XML, the server's detection filters with
// their reference lists, and the upload exceptions. Blocking stays off, so no response runs.
#include <jansson.h>

#include <string>
#include <string_view>

#include "VarloService/sysfilter/EvtExceptList.h"
#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/FilterSet.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"
#include "platform/TextConv.h"

using sysfilter::cFilterSet;

namespace {

// Every element form and search type, and responses whose templates take named groups.
constexpr const char* kFilters = R"json([
 {"filterId": "logon", "filterEvent": {"filterEventKey": "4624",
   "filterEventProviderKey": "Microsoft-Windows-Security-Auditing"},
  "filterElementJson": [
   {"filterElementName": "EventData", "childArray": [
    {"filterElementName": "Data", "filterElementAttributeName": "Name",
     "filterElementAttributeValue": "TargetUserName", "filterElementSearchFlag": "ne",
     "filterElementSearchType": "input", "filterElementSearchText": "SYSTEM"},
    {"filterElementName": "Data", "filterElementSearchFlag": true,
     "filterElementSearchType": "whiteText"}]},
   {"filterElementName": "EventData", "childArray": [
    {"filterElementName": "Data", "filterElementAttributeName": "Name",
     "filterElementAttributeValue": "IpAddress", "filterElementSearchFlag": "nel",
     "filterElementSearchType": "ip", "filterElementSearchText": 12}]}],
  "edrFilterElementList": [
   {"edrFilterElementId": 1, "isAutoDefense": "1", "edrDefenseTypeOrder": "kill $[pid] $[user]",
    "isUseRecover": "1", "edrRecoverCommand": "undo $[pid]",
    "edrFilterElementJson": [
     {"filterElementName": "EventData", "childArray": [
      {"filterElementName": "Data", "filterElementAttributeName": "Name",
       "filterElementAttributeValue": "ProcessId", "filterElementSearchFlag": "eq",
       "filterElementSearchType": "regex", "filterElementSearchText": "^(?<pid>0x[0-9a-f]+)$"},
      {"filterElementName": "Data", "filterElementSearchFlag": "el",
       "filterElementSearchType": "text", "filterElementSearchText": 11}]}]}]},
 {"filterId": 7, "filterEvent": {"filterEventKey": "1",
   "filterEventProviderKey": "Microsoft-Windows-Sysmon"},
  "filterElementJson": [
   {"filterElementName": "UserData", "childArray": [
    {"filterElementName": "Rule", "childArray": [
     {"filterElementName": "Image", "filterElementSearchFlag": "el",
      "filterElementSearchType": "regex", "filterElementSearchText": "(?<user>[^\\\\]+)\\.exe"},
     {"filterElementName": "Image", "filterElementSearchFlag": "gt",
      "filterElementSearchType": "user_ip"}]}]}],
  "edrFilterElementList": [
   {"edrFilterElementId": 2, "isAutoDefense": "0", "edrDefenseTypeOrder": "stop $[user]",
    "edrFilterElementJson": [
     {"filterElementName": "UserData", "childArray": [
      {"filterElementName": "Image", "filterElementSearchFlag": "el",
       "filterElementSearchType": "regex", "filterElementSearchText": "(?<user>\\w+)"}]}]}]}
])json";

constexpr const char* kReferences = R"json([
 {"id": 11, "type": "text", "name": "tools", "list": [
  {"value": "mimikatz", "isRegEx": "0"}, {"value": "(?<user>ps\\w+)", "isRegEx": "1"}]},
 {"id": 12, "type": "ip", "name": "whiteIPAddr", "list": [
  {"value": "10.0.0.0/8"}, {"value": "192.168.1.10"}, {"value": "0.0.0.0/0"}]},
 {"id": 13, "type": "text", "name": "whiteText", "list": [{"value": "svchost.exe"}]},
 {"id": 14, "type": "ip", "name": "default", "list": [{"value": "172.16.0.0/12"}]}
])json";

constexpr const char* kExcepts = R"json([
 {"exceptType": "except", "xmlChannelValue": ["Security"],
  "exceptEntry": {"EventID": "^46(24|25)$", "TargetUserName": "bob"},
  "isRegex": {"EventID": "1"}},
 {"exceptType": "select", "exceptEntry": {"Image": "regex=\\.exe$", "EventID": "1"}},
 {"exceptType": "except", "xmlChannelValue": [], "exceptEntry": {}}
])json";

// Events of the shapes the rules look at, and one without its System block's end.
constexpr const char* kEvents[] = {
    "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
    "<Provider Name='Microsoft-Windows-Security-Auditing' Guid='{5484}'/>"
    "<EventID Qualifiers='0'>4624</EventID><Channel>Security</Channel></System><EventData>"
    "<Data Name='TargetUserName'>bob</Data><Data Name='IpAddress'>10.1.2.3</Data>"
    "<Data Name='ProcessId'>0x1f4</Data><Data Name='Empty'/></EventData></Event>",
    "<Event><System><Provider Name='Microsoft-Windows-Sysmon'/><EventID>1</EventID>"
    "<Channel>Microsoft-Windows-Sysmon/Operational</Channel></System><UserData><Rule>"
    "<Image>C:\\Windows\\psexec.exe</Image></Rule></UserData></Event>",
    "<Event><System><Provider Name='P'/><EventID>4624</EventID><Channel>Security</Channel>",
};

struct cEventRules {
  cFilterSet filters;
  cEvtExceptList excepts;

  cEventRules() {
    filters.Load(json_loads(kFilters, 0, nullptr), json_loads(kReferences, 0, nullptr));
    excepts.Load(json_loads(kExcepts, 0, nullptr));
  }
};

bool IsUtf8(std::string_view text) { return Utf16ToUtf8(Utf8ToUtf16(text)) == text; }

// The input as the event log would render it: UTF-8 text widened, anything else taken as
// little-endian UTF-16 units, so that unpaired surrogates come too.
std::u16string RenderedXml(std::string_view bytes) {
  if (IsUtf8(bytes)) return Utf8ToUtf16(bytes);
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                   static_cast<uint8_t>(bytes[i + 1]) << 8);
  }
  return units;
}

bool Within(std::string_view span, std::string_view text) {
  return span.data() >= text.data() && span.data() + span.size() <= text.data() + text.size();
}

bool Found(std::string_view span) { return span.data() != nullptr; }

// A record's spans lie in its text, and a piece is found exactly when every piece before it was.
void RequireParsed(const EvtRecord& record, int32_t result) {
  Require(result <= 0 && result >= -10);
  const std::string_view text = record.Text();
  for (const std::string_view span :
       {record.EventId(), record.Provider(), record.Channel(), record.Body()}) {
    Require(!Found(span) || Within(span, text));
  }
  Require(Found(record.EventId()) == (result == 0 || result < -3));
  Require(Found(record.Provider()) == (result == 0 || result < -6));
  Require(Found(record.Channel()) == (result == 0 || result < -9));
  Require(record.HasBody() == (result == 0));
  Require(IsUtf8(text));
}

void RequireJudged(cFilterSet& filters, const cEvtExceptList& excepts, EvtRecord& record) {
  const int decision = excepts.Decide(record);
  Require(decision == 0 || (decision == 1 && excepts.SelectCount() > 0) ||
          (decision == 2 && excepts.Entries().size() > excepts.SelectCount()));
  const int detected = filters.Action(record, false);
  Require(detected >= 0 && static_cast<size_t>(detected) <= filters.Size());
  Require(json_array_size(record.DetectFilterIds()) == static_cast<size_t>(detected));
  size_t index;
  json_t* response;
  json_array_foreach(record.EdrAgentDefenseList(), index, response) {
    Require(json_is_string(json_object_get(response, "edrAgentDefenseCommand")));
  }
  std::string_view value;
  if (cEvtExceptEntry::GetEventData(record.Body(), "TargetUserName", value) == 1) {
    Require(Within(value, record.Body()));
  }
}

cEventRules& Rules() {
  static cEventRules rules;
  return rules;
}

// Each fixed event freshly parsed, so that what one run adds stays in that run.
template <class Test>
void ForEachEvent(Test test) {
  for (const char* xml : kEvents) {
    EvtRecord record;
    record.Parse(Utf8ToUtf16(xml).c_str());
    test(record);
  }
}

}  // namespace

int FuzzEventRecord(const uint8_t* data, size_t size) {
  const std::u16string xml = RenderedXml(Bytes(data, size));
  EvtRecord record;
  RequireParsed(record, record.Parse(xml.c_str()));
  RequireJudged(Rules().filters, Rules().excepts, record);
  return 0;
}

int FuzzEventFilterList(const uint8_t* data, size_t size) {
  // Two JSON texts one after the other: the filters, then the reference lists.
  const char* text = reinterpret_cast<const char*>(data);
  json_error_t error;
  json_t* filters = json_loadb(text, size, JSON_DISABLE_EOF_CHECK | JSON_DECODE_ANY, &error);
  json_t* references = nullptr;
  if (filters && static_cast<size_t>(error.position) < size) {
    references = json_loadb(text + error.position, size - error.position, JSON_DECODE_ANY, nullptr);
  }
  cFilterSet set;
  set.Load(filters, references);
  ForEachEvent([&set](EvtRecord& record) { RequireJudged(set, Rules().excepts, record); });
  return 0;
}

int FuzzEventExceptList(const uint8_t* data, size_t size) {
  cEvtExceptList excepts;
  excepts.Load(LoadJson(data, size));
  ForEachEvent([&excepts](EvtRecord& record) {
    RequireJudged(Rules().filters, excepts, record);
  });
  return 0;
}
