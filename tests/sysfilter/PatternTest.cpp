#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestJson.h"
#include "VarloService/sysfilter/CmdTemplate.h"
#include "VarloService/sysfilter/Operators.h"
#include "VarloService/sysfilter/Pattern.h"
#include "VarloService/sysfilter/RefLists.h"
#include "VarloService/sysfilter/SearchItem.h"

namespace sysfilter {
namespace {

TEST(SearchFlag, ExactLowerCaseWordsOnly) {
  const std::vector<std::pair<std::string, uint32_t>> cases = {
      {"eq", kOpEq}, {"el", kOpEl},   {"ne", kOpNe},      {"nel", kOpNel}, {"gt", kOpGt},
      {"lt", kOpLt}, {"ge", kOpGe},   {"le", kOpLe},      {"EQ", kOpEq},   {"Nel", kOpEq},
      {"", kOpEq},   {"nel ", kOpEq}, {"contains", kOpEq}};
  for (const auto& [text, op] : cases) EXPECT_EQ(SearchFlag(text), op) << text;
  for (uint32_t op = 0; op < kOpCount; ++op) EXPECT_EQ(SearchFlag(SearchFlagText(op)), op);
  EXPECT_EQ(SearchFlagText(99), "eq");
}

struct cMatchCase {
  const char* pattern;
  bool forceRegex;
  const char* op;
  std::string subject;  // the span is the subject's first `length` bytes
  size_t length;
  int expected;
};

constexpr size_t kWhole = std::string::npos;

// Subjects are spans inside a longer text, as element values inside an event are: the bytes after
// the span must never take part.
const cMatchCase kMatchCases[] = {
    // literal, operator semantics
    {"4624", false, "eq", "4624", kWhole, 1},
    {"4624", false, "eq", "46245", kWhole, 0},
    {"4624", false, "eq", "4624</EventID>", 4, 1},
    {"4624", false, "eq", "462</EventID>", 3, 0},
    {"4624", false, "ne", "4624</EventID>", 4, 0},
    {"4624", false, "ne", "46245", kWhole, 1},
    {"cmd", false, "el", "C:\\cmd.exe", kWhole, 1},
    {"cmd", false, "el", "C:\\cm</Data><Data>cmd", 5, 0},
    {"cmd", false, "nel", "C:\\cm</Data><Data>cmd", 5, 1},
    {"cmd", false, "nel", "C:\\cmd.exe", kWhole, 0},
    {"", false, "el", "anything", kWhole, 1},
    {"", false, "eq", "anything", kWhole, 0},
    {"", false, "eq", "", kWhole, 1},
    {"", false, "eq", "x", 0, 1},
    {"Admin", false, "eq", "admin", kWhole, 0},  // literals are case-sensitive
    {"Admin", false, "el", "ADMIN", kWhole, 0},
    {"5", false, "gt", "9", kWhole, 0},  // literals know no order
    {"5", false, "le", "5", kWhole, 0},
    {"a", false, "EQ", "a", kWhole, 1},  // an unknown word is "eq"
    {"a", false, "EQ", "ab", kWhole, 0},
    {"x regex=y", false, "eq", "x regex=y", kWhole, 1},  // "regex=" further on stays literal
    // expressions
    {"^46(24|25)$", true, "eq", "4625", kWhole, 1},
    {"^46(24|25)$", true, "eq", "4626", kWhole, 0},
    {"^46(24|25)$", false, "eq", "^46(24|25)$", kWhole, 1},  // not forced: a literal
    {"regex=^46(24|25)$", false, "eq", "4624", kWhole, 1},   // the prefix forces it
    {"regex=^46(24|25)$", false, "eq", "4624</EventID>", 4, 1},
    {"regex=^46(24|25)$", false, "eq", "46240", 5, 0},
    {"regex=^46(24|25)$", false, "ne", "4624", kWhole, 0},
    {"regex=^46(24|25)$", false, "nel", "4627", kWhole, 1},
    {"regex=mimikatz", false, "gt", "run mimikatz.exe", kWhole, 1},  // "gt" as "el"
    {"regex=mimikatz", false, "le", "run notepad.exe", kWhole, 0},
    {"regex=mimi", false, "el", "run mim</Data>imi", 7, 0},
    {"regex=admin", false, "eq", "ADMIN", kWhole, 0},        // case-sensitive by default
    {"regex=(?i)admin", false, "eq", "ADMIN", kWhole, 1},    // unless the expression asks
    {"regex=^b$", false, "el", "a\nb\nc", kWhole, 1},        // multi-line
    {"regex=a.c", false, "el", "a\nc", kWhole, 1},           // dot-all
    {"regex=^.$", false, "eq", "\xc3\xa9", kWhole, 1},       // UTF-8: one character
    {"regex=([", false, "eq", "([", kWhole, 1},              // not compiled: a literal
    {"regex=^(a+)\\1+b$", false, "eq", "aaaab", kWhole, 1},  // back-references
    {"regex=^(a+)\\1+b$", false, "eq", "ab", kWhole, 0},
    {"regex=(?i)\\b(\\w+) \\1\\b", false, "el", "run Go go now", kWhole, 1},
    {"regex=^\\X\\X$", false, "eq", "e\u0301a", kWhole, 1},  // clusters
    // PCRE failures are no result under every operator
    {"regex=a", false, "eq", "\377a", kWhole, 0},
    {"regex=a", false, "ne", "\377a", kWhole, 0},
    {"regex=a", false, "nel", "\xc3", kWhole, 0},
    {"regex=^(a+)+$", false, "ne", std::string(40, 'a') + "b", kWhole, 0},     // match limit
    {"regex=^(?:(a)|b)*$", false, "eq", std::string(200000, 'a'), kWhole, 0},  // JIT stack
    {"regex=^(?:(a)|b)*$", false, "eq", std::string(20, 'a'), kWhole, 1},
};

TEST(Pattern, OperatorPatternSubjectTable) {
  for (const cMatchCase& c : kMatchCases) {
    cPattern pattern;
    pattern.Compile(c.pattern, c.forceRegex);
    const size_t length = c.length == kWhole ? c.subject.size() : c.length;
    EXPECT_EQ(pattern.Match(c.subject.data(), length, nullptr, SearchFlag(c.op)), c.expected)
        << c.pattern << " " << c.op << " '" << c.subject.substr(0, length) << "'";
  }
}

TEST(Pattern, CompileResults) {
  cPattern pattern;
  EXPECT_EQ(pattern.Compile("plain", false), 0);
  EXPECT_FALSE(pattern.IsRegex());
  EXPECT_EQ(pattern.Compile("regex=^a+$", false), 1);
  EXPECT_TRUE(pattern.IsRegex());
  EXPECT_EQ(pattern.Text(), "^a+$");
  EXPECT_EQ(pattern.Compile("(unclosed", true), -1);
  EXPECT_FALSE(pattern.IsRegex());
  EXPECT_EQ(pattern.Text(), "(unclosed");
  // A long alternation compiles and matches as PCRE has it.
  std::string words = "^(word0";
  for (int i = 1; i < 2000; ++i) words += "|word" + std::to_string(i);
  EXPECT_EQ(pattern.Compile(words + ")$", true), 1);
  EXPECT_TRUE(pattern.IsRegex());
  EXPECT_EQ(pattern.Match("word1999", 8, nullptr, kOpEq), 1);
  EXPECT_EQ(pattern.Match("word2000", 8, nullptr, kOpEq), 0);
}

TEST(Pattern, NullSubjectIsEmpty) {
  cPattern literal;
  literal.Compile("", false);
  EXPECT_EQ(literal.Match(nullptr, 5, nullptr, kOpEq), 1);
  cPattern regex;
  regex.Compile("^$", true);
  EXPECT_EQ(regex.Match(nullptr, 0, nullptr, kOpEq), 1);
}

TEST(Pattern, ErrorsAreCountedPerPattern) {
  cPattern pattern;
  pattern.Compile("regex=x", false);
  const std::string bad = "\xfe\xfe";
  for (int i = 0; i < 3; ++i) pattern.Match(bad.data(), bad.size(), nullptr, kOpNel);
  EXPECT_EQ(pattern.ErrorCount(), 3u);
  EXPECT_EQ(pattern.Match("x", 1, nullptr, kOpEq), 1);
  EXPECT_EQ(pattern.ErrorCount(), 3u);
}

TEST(Pattern, RunawayExpressionStopsAtItsBoundAndIsCounted) {
  cPattern pattern;
  ASSERT_EQ(pattern.Compile("a.*b", true), 1);
  // Each start position reads the rest of the value: hours of plain PCRE.
  const std::string value = std::string(120000, 'a') + "!";
  EXPECT_EQ(pattern.Match(value.data(), value.size(), nullptr, kOpNe), 0);
  EXPECT_EQ(pattern.ErrorCount(), 1u);
}

TEST(Pattern, MovedPatternKeepsItsExpression) {
  std::vector<cPattern> patterns;
  for (int i = 0; i < 20; ++i) {
    patterns.emplace_back();
    patterns.back().Compile("regex=^n" + std::to_string(i) + "$", false);
  }
  for (int i = 0; i < 20; ++i) {
    const std::string subject = "n" + std::to_string(i);
    EXPECT_EQ(patterns[i].Match(subject.data(), subject.size(), nullptr, kOpEq), 1);
  }
}

TEST(SearchItem, RegexWithoutTextIsTheEmptyLiteral) {
  struct cCase {
    const char* op;
    int onEmpty;
    int onText;
  };
  const cCase cases[] = {{"eq", 1, 0}, {"el", 1, 1}, {"ne", 0, 1}, {"nel", 0, 0}};
  for (const char* searchText : {"", R"(, "filterElementSearchText": "")"}) {
    for (const cCase& c : cases) {
      const std::string item = std::string(R"({"filterElementSearchType": "regex", )") +
                               R"("filterElementSearchFlag": ")" + c.op + "\"" + searchText + "}";
      json_t* json = Json(item.c_str());
      cRefLists owner;
      cSearchItem search;
      ASSERT_EQ(search.Load(json, owner), 0) << item;
      EXPECT_EQ(search.Test("", 0, nullptr), c.onEmpty) << item;
      EXPECT_EQ(search.Test("x", 1, nullptr), c.onText) << item;
      json_decref(json);
    }
  }
}

struct cTemplateCase {
  const char* command;
  const char* expression;  // matched against "pid=1234 user=bob"
  const char* expected;
};

TEST(CmdTemplate, BuildsFromNamedCaptures) {
  const cTemplateCase cases[] = {
      {"A$[x]B", "pid=(?<x>\\d+)", "A1234B"},
      {"A$[x]B", "pid=\\d+", "AB"},          // no such group
      {"A$[x]B", "pid=(?<x>9)?\\d+", "AB"},  // group took no part
      {"taskkill /pid $[pid] /f", "pid=(?<pid>\\d+) user=(?<user>\\w+)", "taskkill /pid 1234 /f"},
      {"a]b$[u]", "user=(?<u>\\w+)", "a]bbob"},          // a bracket before stays literal
      {"kill $[pid", "pid=(?<pid>\\d+)", "kill $[pid"},  // unclosed stays as written
      {"$[]x", "pid", "x"},
      {"$[x]", "pid", ""},
  };
  const std::string subject = "pid=1234 user=bob";
  for (const cTemplateCase& c : cases) {
    cCmdTemplate command;
    command.Parse(c.command);
    cPattern pattern;
    ASSERT_EQ(pattern.Compile(c.expression, true), 1) << c.expression;
    EXPECT_EQ(pattern.Match(subject.data(), subject.size(), &command, kOpEl), 1);
    json_t* built = command.Build();
    ASSERT_NE(built, nullptr);
    EXPECT_STREQ(json_string_value(built), c.expected) << c.command;
    json_decref(built);
  }
}

TEST(CmdTemplate, FirstFillWinsUntilCleared) {
  cCmdTemplate command;
  command.Parse("kill $[p]");
  cPattern pattern;
  pattern.Compile("(?<p>\\d+)", true);
  pattern.Match("11", 2, &command, kOpNe);  // inverted operators still capture
  pattern.Match("22", 2, &command, kOpEq);
  json_t* built = command.Build();
  EXPECT_STREQ(json_string_value(built), "kill 11");
  json_decref(built);
  command.Clear();
  pattern.Match("22", 2, &command, kOpEq);
  built = command.Build();
  EXPECT_STREQ(json_string_value(built), "kill 22");
  json_decref(built);
}

// Where a placeholder stands is read by the Windows rules: only a quote that opens or closes a
// group holds a value with blanks together, and a value's backslashes must not escape a quote.
TEST(CmdTemplate, ValuesThatWouldChangeTheArgumentsAreUnsafe) {
  struct cCase {
    const char* command;
    const char* value;
    bool unsafe;
  };
  const cCase cases[] = {
      {"\"$[v]\" /S", "C:\\Program Files\\x.exe", false},  // the program's name
      {"\"$[v]\" /S", "C:\\dir\\", false},  // backslashes are plain in the program's name
      {"p a\"$[v]\"b", "x y", false},
      {"p \"a\"\"$[v]\" b", "x y", false},  // "" inside quotes is a quote, and the group goes on
      {"p \"$[v]", "x y", false},           // an open quote groups to the end
      {"p \"x\" $[v] \"y\"", "x y", true},  // between two groups
      {"p \\\"$[v]\\\"", "x y", true},      // escaped quotes group nothing
      {"p \"\\\\$[v]\"", "x", false},
      {"p \"\\\\$[v]\"", "\\", true},    // makes the template's backslashes escape the quote
      {"p \"$[v]\\\"\" q", "x", false},  // the template's own escaped quote
      {"p \"$[v]\\\"\" q", "x\\", true},
      {"p $[v]\"a b\"", "x\\", true},  // opens no group any more
  };
  for (const cCase& c : cases) {
    cCmdTemplate command;
    command.Parse(c.command);
    cPattern pattern;
    ASSERT_EQ(pattern.Compile("^(?<v>.*)$", true), 1);
    ASSERT_EQ(pattern.Match(c.value, std::strlen(c.value), &command, kOpEq), 1);
    EXPECT_EQ(command.HasUnsafeValue(), c.unsafe) << c.command << " with " << c.value;
  }
}

TEST(CmdTemplate, NoTextAndInvalidUtf8) {
  cCmdTemplate empty;
  empty.Parse(nullptr);
  json_t* built = empty.Build();
  EXPECT_STREQ(json_string_value(built), "");
  json_decref(built);

  cCmdTemplate bad;
  bad.Parse("x\xff");
  EXPECT_EQ(bad.Build(), nullptr);
}

}  // namespace
}  // namespace sysfilter
