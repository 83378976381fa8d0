#pragma once
// The comparison operators that filter items and web selectors store as an index. The texts are
// what the server sends ("filterElementSearchFlag", the web filters' operator key).
#include <cstdint>
#include <string_view>

namespace sysfilter {

enum : uint32_t {
  kOpEq = 0,
  kOpEl = 1,
  kOpNe = 2,
  kOpNel = 3,
  kOpGt = 4,
  kOpLt = 5,
  kOpGe = 6,
  kOpLe = 7,
  kOpCount = 8
};

// Index of the exact, case-sensitive operator text; any other text is "eq".
uint32_t SearchFlag(std::string_view text);

// The operator text of an index; "eq" for an index outside the table.
std::string_view SearchFlagText(uint32_t op);

// "ne" and "nel" turn a match into a failure and the other way round.
inline bool IsNegated(uint32_t op) { return op == kOpNe || op == kOpNel; }

}  // namespace sysfilter
