// A filter expression and a value, "expression\0value": the filter's result is plain PCRE's, to the
// last offset, wherever plain PCRE's work is small by a measure that needs no clock; only above it
// may the match end at its bound instead. The measure is the number of items PCRE tries, counted
// by a callout before each on a copy run in its interpreter (which tries at least every start the
// JIT does), times the most one item may read (the value and one more character), and the memory
// the interpreter takes for its recursions, which the sanitizers make dear.
#include <pcre.h>

#include <cstdint>
#include <optional>
#include <string>

#include "VarloService/sysfilter/Expression.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"
#include "tests/support/PlainPcre.h"

namespace {
// Plain PCRE reads this much in a few milliseconds at most, far below the filter's bound.
constexpr uint64_t kSmallWork = 4000000;
// Kept small, so that plain PCRE, which has no bound of its own, stays quick for the fuzzer.
constexpr size_t kLongestValue = 4096;

// One allocation costs as much as reading this many characters (some microseconds under the
// sanitizers).
constexpr uint64_t kAllocationCost = 10000;

struct cCount {
  uint64_t items = 0;
  uint64_t perItem;
  uint64_t Work() const { return items * perItem + allocations * kAllocationCost; }
  static inline uint64_t allocations = 0;
  static inline void* (*allocate)(size_t) = nullptr;
};

int CountItem(pcre_callout_block* block) {
  auto& count = *static_cast<cCount*>(block->callout_data);
  ++count.items;
  return count.Work() > kSmallWork ? PCRE_ERROR_CALLOUT : 0;
}

void* CountAllocation(size_t size) {
  ++cCount::allocations;
  return cCount::allocate(size);
}

// Plain PCRE's work on the value, or none when it is not small (or the copy cannot tell).
std::optional<uint64_t> SmallWork(const std::string& expression, const std::string& value) {
  const char* error = nullptr;
  int offset = 0;
  pcre* code = pcre_compile(expression.c_str(), cPlainPcre::kOptions | PCRE_AUTO_CALLOUT, &error, &offset, nullptr);
  if (!code) return std::nullopt;
  cCount count{0, value.size() + 1};
  pcre_extra extra{};
  extra.flags = PCRE_EXTRA_CALLOUT_DATA | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.callout_data = &count;
  extra.match_limit_recursion = sysfilter::cExpression::kRecursionLimit;
  int ovector[cPlainPcre::kOvectorSize];
  cCount::allocations = 0;
  cCount::allocate = pcre_malloc;
  pcre_malloc = CountAllocation;
  pcre_callout = CountItem;
  const int result = pcre_exec(code, &extra, value.data(), static_cast<int>(value.size()), 0, 0, ovector,
                               cPlainPcre::kOvectorSize);
  pcre_callout = nullptr;
  pcre_malloc = cCount::allocate;
  pcre_free(code);
  if (result < 0 && result != PCRE_ERROR_NOMATCH) return std::nullopt;
  return count.Work();
}
}  // namespace

int FuzzExpression(const uint8_t* data, size_t size) {
  const std::string_view input = Bytes(data, size);
  const size_t split = input.find('\0');
  if (split == std::string_view::npos || size - split - 1 > kLongestValue) return 0;
  const std::string expression(input.substr(0, split));
  const std::string value(input.substr(split + 1));
  const cPlainPcre plain(expression);
  sysfilter::cExpression filter;
  const int compiled = filter.Compile(expression);
  Require((compiled == -1) == !plain.Compiled());
  if (compiled == -1) return 0;

  int filterOffsets[cPlainPcre::kOvectorSize];
  const int result = filter.Exec(value.data(), static_cast<int>(value.size()), filterOffsets);
  if (!SmallWork(expression, value)) return 0;
  int plainOffsets[cPlainPcre::kOvectorSize];
  const int reference = plain.Exec(value, plainOffsets);
  if (reference == PCRE_ERROR_JIT_STACKLIMIT) return 0;  // the filter's stack is deeper
  Require(result == reference);
  const int pairs = result == 0 ? cPlainPcre::kOvectorSize / 3 : result;  // 0: every pair filled
  for (int i = 0; i < 2 * pairs; ++i) Require(filterOffsets[i] == plainOffsets[i]);
  return 0;
}
