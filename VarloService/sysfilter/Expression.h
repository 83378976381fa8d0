#pragma once
// A PCRE expression (UTF-8, dot-all, multi-line, studied for the JIT) matched by PCRE as it stands,
// with PCRE's own result and cost, under a bound of processor time: a match that runs away (a
// rule's expression over a long value can take PCRE minutes, and PCRE's step limit bounds no time,
// since it starts again at every start position) is abandoned once it has used its budget.
#include <pcre.h>

#include <string>

namespace sysfilter {

class cExpression {
 public:
  cExpression() = default;
  ~cExpression();
  cExpression(cExpression&& other) noexcept;
  cExpression& operator=(cExpression&& other) noexcept;
  cExpression(const cExpression&) = delete;
  cExpression& operator=(const cExpression&) = delete;

  // 1 compiled and studied, -1 PCRE does not compile the text, -2 no study data (the expression
  // runs unstudied, in PCRE's interpreter).
  int Compile(const std::string& text);
  bool IsCompiled() const { return m_code != nullptr; }

  // The offset vector of a match: 120 integers, room for 39 groups.
  static constexpr int kOvectorSize = 120;
  // The interpreter (an expression that the JIT cannot take) recurses on the thread's stack, about
  // 500 bytes a level, so its depth is kept to what a thread's stack holds.
  static constexpr unsigned long kRecursionLimit = 4000;

  // pcre_exec's result for the whole subject from offset 0, with an offset vector of
  // kOvectorSize integers or none; PCRE_ERROR_MATCHLIMIT also when the match ran out of its
  // budget.
  int Exec(const char* subject, int length, int* ovector) const;

  // For the named substrings of a match.
  const pcre* Code() const { return m_code; }

 private:
  struct cMatch;
  static int Match(void* match);
  void Release();

  pcre* m_code = nullptr;
  pcre_extra* m_study = nullptr;
};

}  // namespace sysfilter
