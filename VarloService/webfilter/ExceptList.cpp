#include "VarloService/webfilter/ExceptList.h"

#include <string_view>

#include "VarloService/sysfilter/Operators.h"
#include "VarloService/webfilter/TextMatch.h"

namespace webfilter {

namespace {

bool StartsWith(const json_t* value, char first) {
  const char* text = json_string_value(value);
  return text && text[0] == first;
}

}  // namespace

void cExceptCond::Load(const char* key, const json_t* value, const json_t* isRegex) {
  // Any key that starts with a lower-case 'x' names the forwarded-for header.
  m_Field = key[0] == 'x' ? kXForwardedFor : FindField(key);
  if (m_Field < 0) m_CustomName = key;
  m_HasValue = json_is_string(value);
  if (!m_HasValue) return;
  // An expression that does not compile stays a literal of its text.
  m_Value.Compile(std::string_view(json_string_value(value), json_string_length(value)),
                  StartsWith(json_object_get(isRegex, key), '1'));
}

int cExceptCond::Match(WebRecord& record) const {
  if (!m_HasValue) return 0;
  std::string_view text;
  if (m_Field == kExtention) {
    text = record.Extension();
  } else if (IsDecodedField(m_Field)) {
    text = record.Decoded(m_Field);
  } else {
    json_t* value =
        m_Field >= 0 ? record.Field(m_Field) : json_object_get(record.Json(), m_CustomName.c_str());
    if (!json_is_string(value)) return 0;
    text = std::string_view(json_string_value(value), json_string_length(value));
  }
  // "eq" is an exact comparison for a text and a search anywhere for an expression.
  return MatchText(m_Value, text, sysfilter::kOpEq);
}

int cExceptEntry::Load(json_t* entry) {
  json_t* conditions = json_object_get(entry, "exceptEntry");
  const json_t* isRegex = json_object_get(entry, "isRegex");
  m_Conds.clear();
  m_Conds.resize(json_object_size(conditions));
  size_t index = 0;
  const char* key;
  json_t* value;
  json_object_foreach(conditions, key, value) { m_Conds[index++].Load(key, value, isRegex); }
  return static_cast<int>(m_Conds.size());
}

bool cExceptEntry::Match(WebRecord& record) const {
  for (const cExceptCond& cond : m_Conds) {
    if (!cond.Match(record)) return false;
  }
  return true;
}

int cExceptList::Load(json_t* list) {
  const size_t count = json_array_size(list);
  m_Entries.clear();
  m_Entries.resize(count);
  m_SelectCount = 0;
  size_t excepts = 0;
  for (size_t i = 0; i < count; ++i) {
    json_t* item = json_array_get(list, i);
    size_t slot;
    if (m_Mode == kSelectExcept) {
      // Except entries fill the list from the back, so the last one given is tested first.
      slot = StartsWith(json_object_get(item, "exceptType"), 'e') ? count - 1 - excepts++
                                                                  : m_SelectCount++;
    } else if (StartsWith(json_object_get(item, "isBlockOnly"), '0')) {
      slot = m_SelectCount++;
    } else {
      continue;
    }
    m_Entries[slot].Load(item);
  }
  // Block-only entries that were not loaded would match everything: they are not kept.
  if (m_Mode == kBlockOnly) m_Entries.resize(m_SelectCount);
  json_decref(list);
  return static_cast<int>(count);
}

int cExceptList::Check(WebRecord& record) const {
  for (size_t i = 0; i < m_Entries.size(); ++i) {
    if (!m_Entries[i].Match(record)) continue;
    if (m_Mode == kBlockOnly) return 2;
    return i < m_SelectCount ? 0 : 1;
  }
  return 0;
}

}  // namespace webfilter
