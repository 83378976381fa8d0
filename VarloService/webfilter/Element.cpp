#include "VarloService/webfilter/Element.h"

#include <spdlog/spdlog.h>

#include <string_view>

#include "common/Log.h"

namespace webfilter {

int cElement::Load(const json_t* element) {
  const json_t* nameValue = json_object_get(element, "webExtendsFilterFieldName");
  if (!json_is_string(nameValue)) return -1;
  std::string_view name(json_string_value(nameValue), json_string_length(nameValue));
  if (name == "Path") name = FieldName(kUri);
  m_Field = FindField(name);
  if (m_Field < 0) m_CustomName.assign(name);

  const char* type = json_string_value(json_object_get(element, "webExtendsFilterFieldType"));
  switch (type ? type[0] : '\0') {
    case 's':
      m_Type = kStringElement;
      break;
    case 'i':
      m_Type = kIpv4Element;
      break;
    case 'n':
      m_Type = kNumberElement;
      break;
    default:
      return -2;
  }

  const json_t* selectors = json_object_get(element, "webExtendsFilterElementSelectors");
  const size_t count = json_array_size(selectors);
  m_Selectors.clear();
  m_Selectors.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const int result = m_Selectors[i].Load(m_Type, json_array_get(selectors, i));
    if (result < 0) {
      SPDLOG_ERROR("WebFilter.Load(E={})={}", ForLog(name), result);
      m_Selectors.clear();
      return 0;
    }
  }
  return static_cast<int>(count);
}

bool cElement::AnyNegated() const {
  for (const cSelector& selector : m_Selectors) {
    if (selector.IsNegated()) return true;
  }
  return false;
}

int cElement::MatchNumber(int64_t number) const {
  for (const cSelector& selector : m_Selectors) {
    if (selector.MatchNumber(number)) return 1;
  }
  return 0;
}

int cElement::Match(WebRecord& record) const {
  if (IsDecodedField(m_Field)) {
    const std::string_view text = record.Decoded(m_Field);
    for (const cSelector& selector : m_Selectors) {
      if (selector.Match(text.data(), text.size())) return 1;
    }
    return 0;
  }

  json_t* value =
      m_Field >= 0 ? record.Field(m_Field) : json_object_get(record.Json(), m_CustomName.c_str());
  if (!json_is_string(value)) {
    if (m_Type == kNumberElement && json_is_integer(value)) {
      return MatchNumber(json_integer_value(value));
    }
    return AnyNegated();
  }

  const char* text = json_string_value(value);
  const size_t length = json_string_length(value);
  switch (m_Type) {
    case kNumberElement: {
      const std::optional<int64_t> number = ParseNumber(text);
      return number ? MatchNumber(*number) : AnyNegated();
    }
    case kIpv4Element: {
      const std::optional<uint32_t> address = sysfilter::ParseIpAddress(text, length);
      if (!address) return AnyNegated();
      for (const cSelector& selector : m_Selectors) {
        if (selector.MatchAddress(*address)) return 1;
      }
      return 0;
    }
    default:
      for (const cSelector& selector : m_Selectors) {
        if (selector.Match(text, length)) return 1;
      }
      return 0;
  }
}

}  // namespace webfilter
