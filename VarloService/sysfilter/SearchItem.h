#pragma once
// One test of an element's text: a pattern, or membership in a shared text or IPv4 list.
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VarloService/sysfilter/Operators.h"
#include "VarloService/sysfilter/Pattern.h"
#include "VarloService/sysfilter/RefLists.h"

namespace sysfilter {

class cCmdTemplate;

enum : uint32_t { kSearchPattern = 0, kSearchTextList = 3, kSearchIpList = 4 };

class cSearchItem {
 public:
  cSearchItem() = default;
  // A pattern item with operator "eq", as exception conditions are.
  cSearchItem(std::string_view pattern, bool forceRegex);

  // Lists are taken from the owner, which outlives the item. 0 loaded; -1 no usable
  // "filterElementSearchFlag", -2 no "filterElementSearchType", -3 an unknown search type. What
  // was read before a failure stays.
  int Load(const json_t* item, cRefLists& owner);

  // 1 match, 0 no match, -1 an unknown search type, -2 an IPv4-list item whose text is no
  // address.
  int Test(const char* text, size_t length, cCmdTemplate* captures) const;

 private:
  int TestTextList(const char* text, size_t length, cCmdTemplate* captures) const;
  int TestIpList(const char* text, size_t length) const;

  uint32_t m_searchType = kSearchPattern;
  cPattern m_pattern;
  const PatternList* m_textList = nullptr;
  const IpRangeList* m_ipList = nullptr;
  uint32_t m_op = kOpEq;
};

}  // namespace sysfilter
