// A filter expression and a value, "expression\0value": wherever plain PCRE decides the match, the
// bounded expression decides it the same way, or ends at its bound; it never decides otherwise.
#include <pcre.h>

#include <string>

#include "VarloService/sysfilter/Expression.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"

namespace {
// Kept small, so that plain PCRE, which has no bound of its own, stays quick for the fuzzer.
constexpr size_t kLongestValue = 4096;
constexpr unsigned long kPlainStepsPerStart = 100000;

int PlainResult(const std::string& expression, const std::string& value) {
  const char* error = nullptr;
  int offset = 0;
  pcre* code = pcre_compile(expression.c_str(), PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE, &error, &offset, nullptr);
  if (!code) return PCRE_ERROR_NULL;
  pcre_extra* study = pcre_study(code, PCRE_STUDY_JIT_COMPILE, &error);
  pcre_extra limits = study ? *study : pcre_extra{};
  limits.flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  limits.match_limit = kPlainStepsPerStart;
  limits.match_limit_recursion = 1000;
  int ovector[sysfilter::cExpression::kOvectorSize];
  const int result = pcre_exec(code, &limits, value.data(), static_cast<int>(value.size()), 0, 0, ovector,
                               sysfilter::cExpression::kOvectorSize);
  if (study) pcre_free_study(study);
  pcre_free(code);
  return result;
}
}  // namespace

int FuzzExpression(const uint8_t* data, size_t size) {
  const std::string_view input = Bytes(data, size);
  const size_t split = input.find('\0');
  if (split == std::string_view::npos || size - split - 1 > kLongestValue) return 0;
  const std::string expression(input.substr(0, split));
  const std::string value(input.substr(split + 1));
  sysfilter::cExpression bounded;
  if (bounded.Compile(expression) != 1) return 0;
  const int result = bounded.Exec(value.data(), static_cast<int>(value.size()), nullptr);
  const int plain = PlainResult(expression, value);
  if (plain >= 0 || plain == PCRE_ERROR_NOMATCH) {
    Require(result == PCRE_ERROR_MATCHLIMIT || (result >= 0) == (plain >= 0));
  }
  return 0;
}
