#include "VarloService/sysfilter/Pattern.h"

#include <spdlog/spdlog.h>

#include <climits>
#include <utility>

#include "VarloService/sysfilter/CmdTemplate.h"
#include "VarloService/sysfilter/Operators.h"
#include "common/Log.h"

namespace sysfilter {

namespace {
constexpr std::string_view kRegexPrefix = "regex=";
constexpr int kCompileOptions = PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE;
constexpr int kOvectorSize = 120;
constexpr int kOvectorPairs = kOvectorSize / 3;

// A runaway expression (nested repeats over a long value) is stopped after about a millisecond:
// in that time the JIT takes about 400,000 steps of its count and the interpreter about 100,000.
constexpr unsigned long kJitMatchLimit = 400000;
constexpr unsigned long kInterpretedMatchLimit = 100000;
// The interpreter recurses once per pass of a repeated group, about 500 bytes of stack each, so
// its depth is kept to what a thread's stack holds (the JIT keeps to a stack of its own).
constexpr unsigned long kRecursionLimit = 1000;

void SetLimits(pcre_extra& extra) {
  extra.flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.match_limit =
      (extra.flags & PCRE_EXTRA_EXECUTABLE_JIT) ? kJitMatchLimit : kInterpretedMatchLimit;
  extra.match_limit_recursion = kRecursionLimit;
}

// For an expression whose study gave no data block at all.
const pcre_extra kUnstudiedLimits = [] {
  pcre_extra extra{};
  SetLimits(extra);
  return extra;
}();
}  // namespace

cPattern::~cPattern() { Release(); }

cPattern::cPattern(cPattern&& other) noexcept
    : m_text(std::move(other.m_text)),
      m_code(std::exchange(other.m_code, nullptr)),
      m_study(std::exchange(other.m_study, nullptr)),
      m_errors(other.m_errors.exchange(0, std::memory_order_relaxed)) {}

cPattern& cPattern::operator=(cPattern&& other) noexcept {
  if (this != &other) {
    Release();
    m_text = std::move(other.m_text);
    m_code = std::exchange(other.m_code, nullptr);
    m_study = std::exchange(other.m_study, nullptr);
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
}

int cPattern::Compile(std::string_view text, bool forceRegex) {
  Release();
  m_errors.store(0, std::memory_order_relaxed);
  const bool prefixed = text.substr(0, kRegexPrefix.size()) == kRegexPrefix;
  m_text = prefixed ? text.substr(kRegexPrefix.size()) : text;
  if (!prefixed && !forceRegex) return 0;

  const char* error = nullptr;
  int errorOffset = 0;
  m_code = pcre_compile(m_text.c_str(), kCompileOptions, &error, &errorOffset, nullptr);
  if (!m_code) return -1;
  // The data block is wanted even without study data: it carries the match limits.
  m_study = pcre_study(m_code, PCRE_STUDY_JIT_COMPILE | PCRE_STUDY_EXTRA_NEEDED, &error);
  if (!m_study) return -2;
  SetLimits(*m_study);
  return (m_study->flags & (PCRE_EXTRA_STUDY_DATA | PCRE_EXTRA_EXECUTABLE_JIT)) ? 1 : -2;
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
  int ovector[kOvectorSize];
  const int result =
      pcre_exec(m_code, m_study ? m_study : &kUnstudiedLimits, subject, static_cast<int>(length), 0,
                0, captures ? ovector : nullptr, captures ? kOvectorSize : 0);
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
