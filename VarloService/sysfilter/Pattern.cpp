#include "VarloService/sysfilter/Pattern.h"

#include <spdlog/spdlog.h>

#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "VarloService/sysfilter/CmdTemplate.h"
#include "VarloService/sysfilter/Operators.h"
#include "common/Log.h"

namespace sysfilter {

namespace {
constexpr std::string_view kRegexPrefix = "regex=";
// A callout before every item of the expression charges its match for the work (ChargeItem).
constexpr int kCompileOptions = PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE | PCRE_AUTO_CALLOUT;
constexpr int kOvectorSize = 120;
constexpr int kOvectorPairs = kOvectorSize / 3;
// pcre_compile2's error code for "regular expression is too large".
constexpr int kTooLarge = 20;

// PCRE's own step limit bounds no match in time: its count starts again at every start position,
// and one item may read far without a step (a repeat of one character, a back-reference, \X),
// in the JIT and the interpreter alike. So a match is charged, before each item it tries, a
// fixed cost and the characters it moved over since the item before, and ends when its budget is
// spent: about a millisecond in either engine, where an item costs as much as scanning about 8
// characters.
constexpr long kItemCost = 8;
constexpr long kMatchBudget = 1000000;
// The interpreter recurses once per pass of a repeated group, about 500 bytes of stack each, so
// its depth is kept to what a thread's stack holds (the JIT keeps to a stack of its own).
constexpr unsigned long kRecursionLimit = 1000;
constexpr int kUnknownGroup = -1;

struct cMatchBudget {
  long left;
  int position;
  // \X may read the rest of the subject in one item without moving, so with it in the
  // expression every item is charged that much too.
  bool readsAhead;
  const std::vector<int>* references;
};

// What the back-reference that starts at the callout's item may read without moving before it
// fails: its group's captured text, or for one whose group is not known, the rest of the subject.
long ReferenceCost(const pcre_callout_block& block, const std::vector<int>& references) {
  const auto item = static_cast<size_t>(block.pattern_position);
  const int group = item < references.size() ? references[item] : 0;
  if (group == 0) return 0;
  if (group == kUnknownGroup) return block.subject_length - block.current_position;
  if (group >= block.capture_top || block.offset_vector[2 * group] < 0) return 0;
  return block.offset_vector[2 * group + 1] - block.offset_vector[2 * group];
}

int ChargeItem(pcre_callout_block* block) {
  auto& budget = *static_cast<cMatchBudget*>(block->callout_data);
  long cost = kItemCost + std::abs(block->current_position - budget.position);
  if (budget.readsAhead) cost += block->subject_length - block->current_position;
  cost += ReferenceCost(*block, *budget.references);
  budget.position = block->current_position;
  budget.left -= cost;
  return budget.left < 0 ? PCRE_ERROR_MATCHLIMIT : 0;
}

// An unescaped \X in the expression's text (one inside \Q...\E or a comment counts too).
bool ReadsClusters(std::string_view text) {
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '\\') continue;
    if (text[i + 1] == 'X') return true;
    ++i;
  }
  return false;
}

// The number that starts the text, or 0.
int LeadingNumber(std::string_view text) {
  int number = 0;
  for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && number < 100000; ++i)
    number = number * 10 + (text[i] - '0');
  return number;
}

// The group that a name in delimiters at the start of the text stands for (\k<name>, \g{name},
// (?P=name)), or kUnknownGroup.
int NamedGroup(const pcre* code, std::string_view text, char close) {
  const size_t end = text.find(close);
  if (end == std::string_view::npos) return kUnknownGroup;
  const int group = pcre_get_stringnumber(code, std::string(text.substr(0, end)).c_str());
  return group > 0 ? group : kUnknownGroup;
}

// By offset in the expression's text: the group that a back-reference starting there compares,
// kUnknownGroup for one counted back or not understood, 0 elsewhere. Texts that only look like
// one (in a class, after \Q) are marked too: a callout never stands there, or charges too much.
std::vector<int> BackReferences(const pcre* code, std::string_view text) {
  std::vector<int> references(text.size() + 1, 0);
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    const std::string_view rest = text.substr(i + 1);
    if (text[i] == '(' && rest.substr(0, 3) == "?P=")
      references[i] = NamedGroup(code, rest.substr(3), ')');
    if (text[i] != '\\') continue;
    const std::string_view after = rest.substr(1);
    if (rest[0] >= '1' && rest[0] <= '9') {
      references[i] = LeadingNumber(rest);
    } else if (rest[0] == 'g' || rest[0] == 'k') {
      const char open = after.empty() ? '\0' : after[0];
      const char close = open == '<' ? '>' : open == '\'' ? '\'' : '}';
      const bool delimited = open == '<' || open == '\'' || open == '{';
      const int number = LeadingNumber(delimited ? after.substr(1) : after);
      if (number > 0) {
        references[i] = number;
      } else {
        references[i] = delimited ? NamedGroup(code, after.substr(1), close) : kUnknownGroup;
      }
    }
    ++i;
  }
  return references;
}
}  // namespace

cPattern::~cPattern() { Release(); }

cPattern::cPattern(cPattern&& other) noexcept
    : m_text(std::move(other.m_text)),
      m_code(std::exchange(other.m_code, nullptr)),
      m_study(std::exchange(other.m_study, nullptr)),
      m_readsAhead(other.m_readsAhead),
      m_references(std::move(other.m_references)),
      m_errors(other.m_errors.exchange(0, std::memory_order_relaxed)) {}

cPattern& cPattern::operator=(cPattern&& other) noexcept {
  if (this != &other) {
    Release();
    m_text = std::move(other.m_text);
    m_code = std::exchange(other.m_code, nullptr);
    m_study = std::exchange(other.m_study, nullptr);
    m_readsAhead = other.m_readsAhead;
    m_references = std::move(other.m_references);
    m_errors.store(other.m_errors.exchange(0, std::memory_order_relaxed),
                   std::memory_order_relaxed);
  }
  return *this;
}

void cPattern::Release() {
  if (m_study) pcre_free_study(m_study);
  if (m_code) pcre_free(m_code);
  m_study = nullptr;
  m_code = nullptr;
  m_readsAhead = false;
  m_references.clear();
}

int cPattern::Compile(std::string_view text, bool forceRegex) {
  Release();
  m_errors.store(0, std::memory_order_relaxed);
  const bool prefixed = text.substr(0, kRegexPrefix.size()) == kRegexPrefix;
  m_text = prefixed ? text.substr(kRegexPrefix.size()) : text;
  if (!prefixed && !forceRegex) return 0;

  const char* error = nullptr;
  int errorCode = 0;
  int errorOffset = 0;
  m_code =
      pcre_compile2(m_text.c_str(), kCompileOptions, &errorCode, &error, &errorOffset, nullptr);
  if (!m_code) {
    // The callouts make the compiled expression about four times its plain size.
    if (errorCode == kTooLarge) SPDLOG_WARN("cPattern::Compile({})=-1: {}", ForLog(m_text), error);
    return -1;
  }
  int backReferences = 0;
  pcre_fullinfo(m_code, nullptr, PCRE_INFO_BACKREFMAX, &backReferences);
  if (backReferences > 0) m_references = BackReferences(m_code, m_text);
  m_readsAhead = ReadsClusters(m_text);
  m_study = pcre_study(m_code, PCRE_STUDY_JIT_COMPILE, &error);
  return m_study ? 1 : -2;
}

int cPattern::MatchLiteral(std::string_view subject, uint32_t op) const {
  switch (op) {
    case kOpEq:
      return subject == m_text;
    case kOpEl:
      return subject.find(m_text) != std::string_view::npos;
    case kOpNe:
      return subject != m_text;
    case kOpNel:
      return subject.find(m_text) == std::string_view::npos;
    default:
      return 0;
  }
}

int cPattern::Match(const char* subject, size_t length, cCmdTemplate* captures, uint32_t op) const {
  if (!subject) {
    subject = "";
    length = 0;
  }
  if (!m_code) return MatchLiteral(std::string_view(subject, length), op);

  if (length > static_cast<size_t>(INT_MAX)) {
    CountError(PCRE_ERROR_BADLENGTH);
    return 0;
  }
  // Set once, before any match can run; PCRE skips callouts while it is unset.
  [[maybe_unused]] static const bool calloutSet = (pcre_callout = &ChargeItem, true);
  // A copy per match, so that a pattern can be matched on several threads at once.
  pcre_extra limits = m_study ? *m_study : pcre_extra{};
  cMatchBudget budget{kMatchBudget, 0, m_readsAhead, &m_references};
  limits.flags |= PCRE_EXTRA_CALLOUT_DATA | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  limits.callout_data = &budget;
  limits.match_limit_recursion = kRecursionLimit;
  int ovector[kOvectorSize];
  const int result = pcre_exec(m_code, &limits, subject, static_cast<int>(length), 0, 0,
                               captures ? ovector : nullptr, captures ? kOvectorSize : 0);
  if (result < 0 && result != PCRE_ERROR_NOMATCH) {
    CountError(result);
    return 0;
  }
  const bool matched = result >= 0;
  if (matched && captures) {
    captures->Fill(m_code, subject, ovector, result == 0 ? kOvectorPairs : result);
  }
  return IsNegated(op) ? !matched : matched;
}

void cPattern::CountError(int result) const {
  if (m_errors.fetch_add(1, std::memory_order_relaxed) == 0) {
    SPDLOG_WARN("cPattern::Match({})={}: treated as no result", ForLog(m_text), result);
  }
}

}  // namespace sysfilter
