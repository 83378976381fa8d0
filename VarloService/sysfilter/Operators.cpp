#include "VarloService/sysfilter/Operators.h"

namespace sysfilter {

namespace {
constexpr std::string_view kSearchFlagTexts[kOpCount] = {"eq", "el", "ne", "nel",
                                                         "gt", "lt", "ge", "le"};
}

uint32_t SearchFlag(std::string_view text) {
  for (uint32_t op = 0; op < kOpCount; ++op) {
    if (kSearchFlagTexts[op] == text) return op;
  }
  return kOpEq;
}

std::string_view SearchFlagText(uint32_t op) {
  return op < kOpCount ? kSearchFlagTexts[op] : kSearchFlagTexts[kOpEq];
}

}  // namespace sysfilter
