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
constexpr int kOvectorPairs = cExpression::kOvectorSize / 3;
}  // namespace

cPattern::cPattern(cPattern&& other) noexcept
    : m_text(std::move(other.m_text)),
      m_expression(std::move(other.m_expression)),
      m_errors(other.m_errors.exchange(0, std::memory_order_relaxed)) {}

cPattern& cPattern::operator=(cPattern&& other) noexcept {
  if (this != &other) {
    m_text = std::move(other.m_text);
    m_expression = std::move(other.m_expression);
    m_errors.store(other.m_errors.exchange(0, std::memory_order_relaxed),
                   std::memory_order_relaxed);
  }
  return *this;
}

int cPattern::Compile(std::string_view text, bool forceRegex) {
  m_expression = cExpression();
  m_errors.store(0, std::memory_order_relaxed);
  const bool prefixed = text.substr(0, kRegexPrefix.size()) == kRegexPrefix;
  m_text = prefixed ? text.substr(kRegexPrefix.size()) : text;
  if (!prefixed && !forceRegex) return 0;
  return m_expression.Compile(m_text);
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
  if (!IsRegex()) return MatchLiteral(std::string_view(subject, length), op);

  if (length > static_cast<size_t>(INT_MAX)) {
    CountError(PCRE_ERROR_BADLENGTH);
    return 0;
  }
  int ovector[cExpression::kOvectorSize];
  const int result = m_expression.Exec(subject, static_cast<int>(length), captures ? ovector : nullptr);
  if (result < 0 && result != PCRE_ERROR_NOMATCH) {
    CountError(result);
    return 0;
  }
  const bool matched = result >= 0;
  if (matched && captures) {
    captures->Fill(m_expression.Code(), subject, ovector, result == 0 ? kOvectorPairs : result);
  }
  return IsNegated(op) ? !matched : matched;
}

void cPattern::CountError(int result) const {
  if (m_errors.fetch_add(1, std::memory_order_relaxed) == 0) {
    SPDLOG_WARN("cPattern::Match({})={}: treated as no result", ForLog(m_text), result);
  }
}

}  // namespace sysfilter
