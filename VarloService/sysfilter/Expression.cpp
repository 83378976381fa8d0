#include "VarloService/sysfilter/Expression.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// PCRE's interpreter takes memory within a match (a recursion saves the offsets of the groups; an
// offset vector larger than the caller's), and a match that is abandoned never gives it back. So,
// within a match, PCRE's memory comes from the matching thread's pool, which takes the last block
// back at once (PCRE gives its blocks back in the opposite order) and is emptied after the match,
// however it ended. A match so takes no lock and no time of the heap's, and leaves nothing behind.
class cMatchPool {
 public:
  // A block of at least `size` bytes, or none when memory is short.
  void* Take(size_t size) {
    const size_t whole = kHeader + (size + kHeader - 1) / kHeader * kHeader;
    if (m_chunks.empty() || m_chunks.back().top + whole > m_chunks.back().size) {
      platform::HoldAbandonment();  // the heap's lock must never be left held
      const bool added = Add(whole);
      platform::ReleaseAbandonment();
      if (!added) return nullptr;
    }
    cChunk& chunk = m_chunks.back();
    char* block = chunk.bytes.get() + chunk.top;
    std::memcpy(block, &whole, sizeof whole);
    chunk.top += whole;
    return block + kHeader;
  }

  // Whether the block is the pool's. The last one taken is free again at once, the others when the
  // pool is emptied.
  bool Give(void* block) {
    const auto header = reinterpret_cast<uintptr_t>(block) - kHeader;
    for (cChunk& chunk : m_chunks) {
      const auto start = reinterpret_cast<uintptr_t>(chunk.bytes.get());
      if (header < start || header >= start + chunk.size) continue;
      size_t whole = 0;
      std::memcpy(&whole, chunk.bytes.get() + (header - start), sizeof whole);
      if (&chunk == &m_chunks.back() && header - start + whole == chunk.top) chunk.top -= whole;
      return true;
    }
    return false;
  }

  // After a match: its first chunk stays for the next.
  void Empty() {
    if (m_chunks.size() > 1) m_chunks.resize(1);
    if (!m_chunks.empty()) m_chunks.front().top = 0;
  }

 private:
  static constexpr size_t kHeader = 16;  // the block's whole size, and alignment
  static constexpr size_t kFirstChunk = 64 * 1024;

  struct cChunk {
    std::unique_ptr<char[]> bytes;
    size_t size;
    size_t top;
  };

  bool Add(size_t whole) {
    const size_t size = std::max(whole, m_chunks.empty() ? kFirstChunk : 2 * m_chunks.back().size);
    try {
      m_chunks.push_back({std::unique_ptr<char[]>(new char[size]), size, 0});
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  std::vector<cChunk> m_chunks;
};

thread_local cMatchPool* t_matchPool = nullptr;  // the matching thread's, during a match

void* AllocateForPcre(size_t size) { return t_matchPool ? t_matchPool->Take(size) : std::malloc(size); }

void FreeForPcre(void* block) {
  if (t_matchPool && t_matchPool->Give(block)) return;
  platform::HoldAbandonment();
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
  thread_local cMatchPool pool;
  t_jitStack = jitStack.Get();
  t_matchPool = &pool;
  cMatch match{this, subject, length, ovector};
  const int result = platform::RunBounded(&cExpression::Match, &match, kBudget, PCRE_ERROR_MATCHLIMIT);
  t_matchPool = nullptr;
  pool.Empty();
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
