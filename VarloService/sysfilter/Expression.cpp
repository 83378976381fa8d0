#include "VarloService/sysfilter/Expression.h"

#include <chrono>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "platform/BoundedRun.h"

namespace sysfilter {

namespace {
constexpr int kOptions = PCRE_UTF8 | PCRE_DOTALL | PCRE_MULTILINE;

// What one match may cost: what PCRE spends on an ordinary rule over the longest value many times
// over, and little enough that a rule that runs away on every event still leaves the collector
// some tens of events a second.
constexpr std::chrono::milliseconds kBudget{25};

// The JIT's stack of each matching thread: deeper than PCRE's default 32 KiB, made before the
// thread's first match, since nothing may be made inside a match that can be abandoned.
constexpr int kJitStackStart = 32 * 1024;
constexpr int kJitStackMax = 1024 * 1024;

class cThreadJitStack {
 public:
  cThreadJitStack() : m_stack(pcre_jit_stack_alloc(kJitStackStart, kJitStackMax)) {}
  ~cThreadJitStack() {
    if (m_stack) pcre_jit_stack_free(m_stack);
  }
  cThreadJitStack(const cThreadJitStack&) = delete;
  cThreadJitStack& operator=(const cThreadJitStack&) = delete;
  pcre_jit_stack* Get() const { return m_stack; }

 private:
  pcre_jit_stack* m_stack;
};

thread_local pcre_jit_stack* t_jitStack = nullptr;  // the matching thread's, for PCRE to ask

pcre_jit_stack* JitStackOfThread(void*) { return t_jitStack; }

// PCRE's interpreter allocates within a match (the offsets a recursion saves, a larger offset
// vector), and an abandoned match never frees them. So every PCRE allocation holds the abandonment
// off while it runs, and those of a match are kept here until PCRE frees them; whatever an
// abandoned match leaves is freed after it.
thread_local std::vector<void*>* t_matchBlocks = nullptr;

void* AllocateForPcre(size_t size) {
  platform::HoldAbandonment();
  void* block = std::malloc(size);
  if (block && t_matchBlocks) {
    try {
      t_matchBlocks->push_back(block);
    } catch (const std::bad_alloc&) {
      std::free(block);
      block = nullptr;
    }
  }
  platform::ReleaseAbandonment();
  return block;
}

void FreeForPcre(void* block) {
  platform::HoldAbandonment();
  if (t_matchBlocks) {
    for (auto kept = t_matchBlocks->rbegin(); kept != t_matchBlocks->rend(); ++kept) {
      if (*kept == block) {
        t_matchBlocks->erase(std::next(kept).base());
        break;
      }
    }
  }
  std::free(block);
  platform::ReleaseAbandonment();
}

// Set before any expression is compiled; outside a match they are malloc and free.
[[maybe_unused]] const bool kAllocatorsSet = (pcre_malloc = AllocateForPcre, pcre_free = FreeForPcre, true);
}  // namespace

struct cExpression::cMatch {
  const cExpression* expression;
  const char* subject;
  int length;
  int* ovector;
};

cExpression::~cExpression() { Release(); }

cExpression::cExpression(cExpression&& other) noexcept { *this = std::move(other); }

cExpression& cExpression::operator=(cExpression&& other) noexcept {
  if (this != &other) {
    Release();
    m_code = std::exchange(other.m_code, nullptr);
    m_study = std::exchange(other.m_study, nullptr);
  }
  return *this;
}

void cExpression::Release() {
  if (m_study) pcre_free_study(m_study);
  if (m_code) pcre_free(m_code);
  m_code = nullptr;
  m_study = nullptr;
}

int cExpression::Compile(const std::string& text) {
  Release();
  const char* error = nullptr;
  int offset = 0;
  m_code = pcre_compile(text.c_str(), kOptions, &error, &offset, nullptr);
  if (!m_code) return -1;
  m_study = pcre_study(m_code, PCRE_STUDY_JIT_COMPILE, &error);
  if (!m_study) return -2;
  pcre_assign_jit_stack(m_study, &JitStackOfThread, nullptr);
  return 1;
}

int cExpression::Exec(const char* subject, int length, int* ovector) const {
  thread_local cThreadJitStack jitStack;
  thread_local std::vector<void*> matchBlocks;
  t_jitStack = jitStack.Get();
  t_matchBlocks = &matchBlocks;
  cMatch match{this, subject, length, ovector};
  const int result = platform::RunBounded(&cExpression::Match, &match, kBudget, PCRE_ERROR_MATCHLIMIT);
  t_matchBlocks = nullptr;
  for (void* block : matchBlocks) std::free(block);
  matchBlocks.clear();
  return result;
}

int cExpression::Match(void* context) {
  const cMatch& match = *static_cast<const cMatch*>(context);
  const cExpression& expression = *match.expression;
  // A copy per match, so that an expression can be matched on several threads at once.
  pcre_extra limits = expression.m_study ? *expression.m_study : pcre_extra{};
  limits.flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  limits.match_limit_recursion = kRecursionLimit;
  return pcre_exec(expression.m_code, &limits, match.subject, match.length, 0, 0, match.ovector,
                   match.ovector ? kOvectorSize : 0);
}

}  // namespace sysfilter
