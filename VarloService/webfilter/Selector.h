#pragma once
// One comparison value of a web filter element: a text or expression, an IPv4 range or a number,
// with its operator.
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "VarloService/sysfilter/IpRange.h"
#include "VarloService/sysfilter/Operators.h"
#include "VarloService/sysfilter/Pattern.h"

namespace webfilter {

enum eElementType : int32_t { kStringElement = 0, kIpv4Element = 1, kNumberElement = 2 };

// A signed 64-bit decimal at the start of the text (after white space); nothing when there is
// none or it does not fit.
std::optional<int64_t> ParseNumber(const char* text);

class cSelector {
 public:
  // 0 string, 1 IPv4, 2 number; -1 no value, -2 no operator, -3 bad IPv4 text, -4 bad number,
  // -5 no value type, -6 the expression did not compile or could not be studied.
  int Load(int32_t elementType, const json_t* selector);

  // 1 when the text (exactly `length` bytes) passes the operator, else 0.
  int Match(const char* text, size_t length) const;
  // Only "gt", "lt", "ge" and "le" compare numbers.
  int MatchNumber(int64_t number) const;
  // "ne" and "nel" pass addresses outside the range, every other operator those inside.
  int MatchAddress(uint32_t address) const;
  bool IsNegated() const { return sysfilter::IsNegated(m_Op); }

 private:
  int32_t m_Type = kStringElement;
  // Also kept for IPv4 and number selectors: decoded fields compare every selector as text.
  sysfilter::cPattern m_Value;
  sysfilter::IpRange m_Range;
  int64_t m_Number = 0;
  uint32_t m_Op = sysfilter::kOpEq;
};

}  // namespace webfilter
