#pragma once
// One comparison value of a filter: a literal text, or a PCRE expression (UTF-8, dot-all,
// multi-line, studied for the JIT) whose every match is bounded in processor time. A text that
// starts with "regex=" is always an expression.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "VarloService/sysfilter/Expression.h"

namespace sysfilter {

class cCmdTemplate;

class cPattern {
 public:
  cPattern() = default;
  cPattern(cPattern&& other) noexcept;
  cPattern& operator=(cPattern&& other) noexcept;
  cPattern(const cPattern&) = delete;
  cPattern& operator=(const cPattern&) = delete;

  // 0 literal text, 1 expression compiled and studied, -1 the expression did not compile (the
  // pattern stays a literal of its text), -2 the study failed (the expression runs unstudied).
  int Compile(std::string_view text, bool forceRegex);

  // 1 when the subject (exactly `length` bytes, null counts as empty) passes the operator, else
  // 0. A literal pattern knows "eq", "el", "ne" and "nel"; an expression matches under every
  // operator but "ne" and "nel", which invert it. With a template, the named groups of a match
  // fill its empty placeholders (also when the operator inverts the result). A PCRE failure
  // other than "no match", a match that runs out of its bound among them, gives 0 under every
  // operator; it is counted, and logged once.
  int Match(const char* subject, size_t length, cCmdTemplate* captures, uint32_t op) const;

  bool IsRegex() const { return m_expression.IsCompiled(); }
  // The text without its "regex=" prefix.
  const std::string& Text() const { return m_text; }
  // Runs that ended in a PCRE error (bad UTF-8, PCRE's step limit, the bound of its time, the
  // recursion limit, the JIT's stack).
  uint32_t ErrorCount() const { return m_errors.load(std::memory_order_relaxed); }

 private:
  int MatchLiteral(std::string_view subject, uint32_t op) const;
  void CountError(int result) const;

  std::string m_text;
  cExpression m_expression;
  mutable std::atomic<uint32_t> m_errors{0};
};

}  // namespace sysfilter
