// Web-log lines per second through the web road (the hourly file read by the worker, JSON
// parsing, exception lists, filters, masking, batch, gzip, base64, HTTPS upload to a local server
// that answers at once), fed with ten thousand real requests in the module's record format,
// beside the cost of compressing the same uploaded records alone. One worker thread does all of
// the road, so the rate is per core. Beside it the processor time per line of the whole process
// (worker, upload server and the waiting benchmark alike) and the resident size after the run.
#include <benchmark/benchmark.h>
#include <jansson.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VarloService/webfilter/LogMask.h"
#include "VarloService/weblog/WebLogSvc.h"
#include "bench/CompressionBatches.h"
#include "bench/UploadServer.h"
#include "common/AgentInfo.h"
#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "tests/support/ProcessUsage.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/weblog/WebModuleStandIn.h"

namespace {

constexpr char kAccessLog[] = VARLO_TESTDATA_DIR "/weblog/apache_logs";
constexpr char kMaskList[] = R"(["flav", "id", "q", "password", "token"])";
// Filters that the real requests rarely match, so most records take the masking road.
constexpr char kFilters[] = R"json([
  {"webExtendsFilterId": 1, "webExtendsFilterElements": [
    {"webExtendsFilterFieldName": "Uri", "webExtendsFilterFieldType": "string",
     "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "regex=(?i)(\\.\\./|%2e%2e|/etc/passwd)",
      "webExtendsFilterFieldSelectOperator": "el", "webExtendsFilterFieldSelectValueType": "string"}]}]},
  {"webExtendsFilterId": 2, "webExtendsFilterElements": [
    {"webExtendsFilterFieldName": "User-Agent", "webExtendsFilterFieldType": "string",
     "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "sqlmap",
      "webExtendsFilterFieldSelectOperator": "el", "webExtendsFilterFieldSelectValueType": "string"}]}]}])json";

double g_CompressionRate = 0;
double g_CpuPerLine = 0;   // seconds of the whole process
double g_ResidentAfter = 0;  // MiB

// The machine, the upload server and the module's lines, made once.
struct cWorld {
  cTempMachineRoot root;
  platform::cManualClock clock;  // the hour never turns during a run
  cTestCertificateAuthority authority;
  cBenchUploadServer server{authority};
  cAgentInfo agentInfo;
  std::string lines;  // the module's lines, each ended by a line feed
  size_t lineCount = 0;

  cWorld() {
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("event", std::make_shared<spdlog::sinks::null_sink_mt>()));
    platform::SetClock(&clock);
    authority.InstallAsTrusted();
    NvmDomain(1).SetString(NvmDomain::UploadWeb, server.Url());
    std::ifstream in(kAccessLog);
    for (std::string text; std::getline(in, text);) {
      json_t* record = cWebModuleStandIn::RecordFromCombined(text);
      char* dumped = record ? json_dumps(record, JSON_COMPACT) : nullptr;
      if (dumped) {
        lines += std::string(dumped) + "\n";
        ++lineCount;
      }
      std::free(dumped);
      json_decref(record);
    }
  }
  ~cWorld() { platform::SetClock(nullptr); }
};

cWorld& World() {
  static cWorld world;
  return world;
}

// Waits until the worker has read the hour's file up to its end, looking at its cursor alone so
// that the wait costs the process next to nothing.
void WaitUntilRead(const cWebLogSvc& collector) {
  const int64_t end = platform::FileSize(cWebModuleStandIn::HourFile(platform::Clock().Now()));
  while (collector.Cursor() != end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void BM_WebPathWithMasking(benchmark::State& state) {
  cWorld& world = World();
  if (world.lineCount == 0) {
    state.SkipWithError((std::string("test data not found: ") + kAccessLog).c_str());
    return;
  }
  cWebLogSvc collector(1);
  collector.SetLogMask(json_loads(kMaskList, 0, nullptr));
  collector.SetWebFilter(json_loads(kFilters, 0, nullptr));
  cWebModuleStandIn::AppendRaw("{}\n");  // so the worker's start shows in its cursor
  collector.Start(&world.agentInfo);
  WaitUntilRead(collector);
  int64_t lines = 0, bytes = 0;
  double seconds = 0, cpuSeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    cWebModuleStandIn::AppendRaw(world.lines);
    state.ResumeTiming();
    const auto begin = std::chrono::steady_clock::now();
    const double cpuBegin = ProcessCpuSeconds();
    WaitUntilRead(collector);
    cpuSeconds += ProcessCpuSeconds() - cpuBegin;
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    lines += static_cast<int64_t>(world.lineCount);
    bytes += static_cast<int64_t>(world.lines.size());
  }
  collector.Stop();
  g_ResidentAfter = ResidentMiB();
  state.SetItemsProcessed(lines);
  state.SetBytesProcessed(bytes);
  if (g_CompressionRate > 0 && seconds > 0) {
    state.counters["of_compression"] = static_cast<double>(lines) / seconds / g_CompressionRate;
  }
  if (lines > 0) g_CpuPerLine = cpuSeconds / static_cast<double>(lines);
}

// The records as the worker uploads them (masked, in their upload form), in batches of the
// uploader's size, gzip alone.
void BM_CompressionAlone(benchmark::State& state) {
  cWorld& world = World();
  cLogMask mask;
  mask.Conf(json_loads(kMaskList, 0, nullptr));
  cCompressionBatches batches;
  size_t start = 0;
  for (size_t end; (end = world.lines.find('\n', start)) != std::string::npos; start = end + 1) {
    json_t* record = json_loadb(world.lines.data() + start, end - start, JSON_ALLOW_NUL, nullptr);
    mask.Mask(record);
    json_t* upload = json_pack("{s:o,s:s}", "ceelog", record, "hash", "...");
    char* compact = json_dumps(upload, JSON_COMPACT);
    batches.Add(compact);
    std::free(compact);
    json_decref(upload);
  }
  if (batches.Empty()) {
    state.SkipWithError((std::string("test data not found: ") + kAccessLog).c_str());
    return;
  }
  g_CompressionRate = batches.Run(state);
}

}  // namespace

// Compression first, so the road's figure can be given as a share of it.
BENCHMARK(BM_CompressionAlone)->MinTime(2.0);
BENCHMARK(BM_WebPathWithMasking)->MinTime(3.0)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_CpuPerLine > 0) {
    std::printf("\nweb road: %.2f us of processor time per line (whole process), %.1f MiB resident after the run\n",
                g_CpuPerLine * 1e6, g_ResidentAfter);
  }
  return 0;
}
