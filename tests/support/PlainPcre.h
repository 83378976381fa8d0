#pragma once
// Plain PCRE, the reference that a filter's expression is held to: the same text and options
// (UTF-8, dot-all, multi-line), studied for the JIT, PCRE's own limits and JIT stack, an offset
// vector of 120 integers, nothing else. An expression that the JIT cannot take runs in PCRE's
// interpreter with the filter's recursion limit, which keeps it within a thread's stack.
#include <pcre.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "VarloService/sysfilter/Expression.h"

class cPlainPcre {
 public:
  static constexpr int kOptions = PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE;
  static constexpr int kOvectorSize = sysfilter::cExpression::kOvectorSize;

  explicit cPlainPcre(const std::string& text) {
    const char* error = nullptr;
    int offset = 0;
    m_code = pcre_compile(text.c_str(), kOptions, &error, &offset, nullptr);
    if (m_code) m_study = pcre_study(m_code, PCRE_STUDY_JIT_COMPILE, &error);
  }
  ~cPlainPcre() {
    if (m_study) pcre_free_study(m_study);
    if (m_code) pcre_free(m_code);
  }
  cPlainPcre(const cPlainPcre&) = delete;
  cPlainPcre& operator=(const cPlainPcre&) = delete;

  bool Compiled() const { return m_code != nullptr; }

  // pcre_exec's result over the whole subject, its offsets in `ovector` (kOvectorSize integers).
  int Exec(const std::string& subject, int* ovector) const {
    pcre_extra limits = m_study ? *m_study : pcre_extra{};
    limits.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    limits.match_limit_recursion = sysfilter::cExpression::kRecursionLimit;
    return pcre_exec(m_code, &limits, subject.data(), static_cast<int>(subject.size()), 0, 0, ovector,
                     kOvectorSize);
  }

  // The processor time of one Exec, in milliseconds.
  double ExecMilliseconds(const std::string& subject) const {
    int ovector[kOvectorSize];
    const double begin = ThreadCpuMilliseconds();
    Exec(subject, ovector);
    return ThreadCpuMilliseconds() - begin;
  }

 private:
  static double ThreadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
  }

  pcre* m_code = nullptr;
  pcre_extra* m_study = nullptr;
};
