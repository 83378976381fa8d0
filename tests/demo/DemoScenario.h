#pragma once
// The story of the local demonstration, in one place: the rules the demonstration management
// server hands out, and what the demonstration host does that those rules meet. The host writes,
// in turn, an ordinary event, an administrator's failed sign-in from a watched network, the start
// of a command an intruder runs first, and a user's sign-in; and, in turn, access-log lines of its
// web server, some carrying a password or a card number that the agent masks before upload.
#include <map>
#include <string>
#include <vector>

namespace demo {

// Detection in detect mode: filters are tested and responses recorded, no command runs; every
// event is uploaded, detected or not.
constexpr char kDetectionSettings[] =
    R"({"edrDetectMode":"agent","edrBlockMode":"detect","isEdrSysFullUpload":"1"})";

// The reference lists the filters name by id.
constexpr char kReferenceLists[] = R"([
  {"id":1,"type":"text","name":"commands an intruder runs first","list":[
    {"value":"\\whoami.exe","isRegEx":"0"},
    {"value":"\\\\net1?\\.exe$","isRegEx":"1"}]},
  {"id":2,"type":"ip","name":"watched networks","list":[
    {"value":"203.0.113.0/24"},
    {"value":"198.51.100.0/24"}]}
])";

// The one response names its command with the address it captures; detect mode only records it.
constexpr char kFilters[] = R"([
  {"filterId":"admin-sign-in-failed",
   "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
   "filterElementJson":[{"filterElementName":"EventData","childArray":[
     {"filterElementName":"Data","filterElementAttributeName":"Name",
      "filterElementAttributeValue":"TargetUserName","filterElementSearchFlag":"eq",
      "filterElementSearchType":"input","filterElementSearchText":"Administrator"}]}],
   "edrFilterElementList":[
     {"edrFilterElementId":"note-intruder-address","isAutoDefense":"1","edrDefenseOrderNo":1,
      "edrDefenseType":"network","edrDefenseTypeOrder":"cmd /c echo would block $[address]",
      "isUseRecover":"0",
      "edrFilterElementJson":[{"filterElementName":"EventData","childArray":[
        {"filterElementName":"Data","filterElementAttributeName":"Name",
         "filterElementAttributeValue":"IpAddress","filterElementSearchFlag":"eq",
         "filterElementSearchType":"regex","filterElementSearchText":"^(?<address>[0-9.]+)$"}]}]}]},
  {"filterId":"sign-in-failed-from-watched-network",
   "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
   "filterElementJson":[{"filterElementName":"EventData","childArray":[
     {"filterElementName":"Data","filterElementAttributeName":"Name",
      "filterElementAttributeValue":"IpAddress","filterElementSearchFlag":"el",
      "filterElementSearchType":"ip","filterElementSearchText":2}]}],
   "edrFilterElementList":[]},
  {"filterId":"intruder-command-started",
   "filterEvent":{"filterEventKey":"4688","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
   "filterElementJson":[{"filterElementName":"EventData","childArray":[
     {"filterElementName":"Data","filterElementAttributeName":"Name",
      "filterElementAttributeValue":"NewProcessName","filterElementSearchFlag":"el",
      "filterElementSearchType":"text","filterElementSearchText":1}]}],
   "edrFilterElementList":[]}
])";

// The web-server module the repository publishes: its folder, version and files (the images are
// stand-ins, as the web server here is).
constexpr char kModuleFolder[] = "/v4/module/iis/";
constexpr char kModuleVersion[] = "2.4.1.0";
inline std::map<std::string, std::string> ModulePackage() {
  return {{"version", std::string(kModuleVersion) + "\r\n"},
          {"32/ModVarlo.dll", "MZ the demonstration's web-server module, 32-bit"},
          {"64/ModVarlo.dll", "MZ the demonstration's web-server module, 64-bit"}};
}

// The request fields the agent masks in web records without detections.
constexpr char kMaskedFields[] = R"(["password","card"])";

// The provider of the agent's own log lines when it uploads them as events.
constexpr char kOwnLogProvider[] = "<Provider Name='Varlo'/>";

struct cHostEvent {
  const char* told;  // what a person watching is told
  const char* channel;
  const char* provider;
  int eventId;
  std::vector<std::pair<std::string, std::string>> data;  // Data elements, by Name ("" for none)
};

// The host's events, one per period in this order, again and again.
inline std::vector<cHostEvent> HostEvents() {
  return {
      {"an application reports something ordinary",
       "Application",
       "VarloDemo",
       1000,
       {{"", "an ordinary event of an application"}}},
      {"the administrator fails to sign in from 203.0.113.45",
       "Security",
       "Microsoft-Windows-Security-Auditing",
       4625,
       {{"TargetUserName", "Administrator"}, {"LogonType", "10"}, {"IpAddress", "203.0.113.45"}}},
      {"whoami.exe starts, a command an intruder runs first",
       "Security",
       "Microsoft-Windows-Security-Auditing",
       4688,
       {{"NewProcessName", "C:\\Windows\\System32\\whoami.exe"}, {"CommandLine", "whoami /all"}}},
      {"alice signs in",
       "Security",
       "Microsoft-Windows-Security-Auditing",
       4624,
       {{"TargetUserName", "alice"}, {"LogonType", "2"}, {"IpAddress", "192.0.2.10"}}},
  };
}

struct cAccessLogLine {
  const char* told;
  const char* combined;     // the request in the combined access-log format
  const char* contentType;  // with the body: its content type; else null
  const char* body;
};

// The web server's requests, one per period in this order, again and again.
inline std::vector<cAccessLogLine> AccessLogLines() {
  return {
      {"GET / from 198.51.100.23",
       R"(198.51.100.23 - - [-] "GET / HTTP/1.1" 200 5120 "-" "DemoBrowser/1.0")", nullptr,
       nullptr},
      {"POST /login with a password in its body",
       R"(192.0.2.10 - - [-] "POST /login HTTP/1.1" 302 0 "https://www.example.test/" "DemoBrowser/1.0")",
       "application/x-www-form-urlencoded", "user=alice&password=correct-horse"},
      {"GET /pay with a card number in its query",
       R"(192.0.2.10 - - [-] "GET /pay?user=alice&card=4111111111111111 HTTP/1.1" 200 734 "https://www.example.test/cart" "DemoBrowser/1.0")",
       nullptr, nullptr},
      {"GET /images/logo.png",
       R"(192.0.2.10 - - [-] "GET /images/logo.png HTTP/1.1" 200 2048 "https://www.example.test/" "DemoBrowser/1.0")",
       nullptr, nullptr},
  };
}

}  // namespace demo
