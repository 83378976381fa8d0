#include "VarloService/webfilter/Selector.h"

#include <cerrno>
#include <cstdlib>

#include "VarloService/webfilter/TextMatch.h"

namespace webfilter {

namespace {

std::optional<std::string_view> StringMember(const json_t* object, const char* key) {
  const json_t* value = json_object_get(object, key);
  if (!json_is_string(value)) return std::nullopt;
  return std::string_view(json_string_value(value), json_string_length(value));
}

}  // namespace

std::optional<int64_t> ParseNumber(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return std::nullopt;
  return static_cast<int64_t>(number);
}

int cSelector::Load(int32_t elementType, const json_t* selector) {
  m_Type = elementType;
  const json_t* value = json_object_get(selector, "webExtendsFilterFieldValue");
  if (!json_is_string(value)) return -1;
  const std::optional<std::string_view> op =
      StringMember(selector, "webExtendsFilterFieldSelectOperator");
  if (!op) return -2;
  m_Op = sysfilter::SearchFlag(*op);
  const std::string_view text(json_string_value(value), json_string_length(value));

  if (elementType == kIpv4Element) {
    const std::optional<sysfilter::IpRange> range = sysfilter::ParseIpRange(text);
    if (!range) return -3;
    m_Range = *range;
    m_Value.Compile(text, false);
    return kIpv4Element;
  }
  if (elementType == kNumberElement) {
    const std::optional<int64_t> number = ParseNumber(json_string_value(value));
    if (!number) return -4;
    m_Number = *number;
    m_Value.Compile(text, false);
    return kNumberElement;
  }
  const std::optional<std::string_view> valueType =
      StringMember(selector, "webExtendsFilterFieldSelectValueType");
  if (!valueType) return -5;
  const bool regex = !valueType->empty() && valueType->front() == 'r';
  if (m_Value.Compile(text, regex) < 0) return -6;
  return kStringElement;
}

int cSelector::Match(const char* text, size_t length) const {
  return MatchText(m_Value, std::string_view(text, length), m_Op);
}

int cSelector::MatchNumber(int64_t number) const {
  switch (m_Op) {
    case sysfilter::kOpGt:
      return number > m_Number;
    case sysfilter::kOpLt:
      return number < m_Number;
    case sysfilter::kOpGe:
      return number >= m_Number;
    case sysfilter::kOpLe:
      return number <= m_Number;
    default:
      return 0;
  }
}

int cSelector::MatchAddress(uint32_t address) const {
  const bool inside = m_Range.Contains(address);
  return IsNegated() ? !inside : inside;
}

}  // namespace webfilter
