#include "VarloService/sysfilter/SearchItem.h"

#include <algorithm>

#include "VarloService/sysfilter/JsonText.h"

namespace sysfilter {

namespace {

uint32_t ListId(const json_t* searchText) {
  return static_cast<uint32_t>(json_integer_value(searchText));
}

}  // namespace

cSearchItem::cSearchItem(std::string_view pattern, bool forceRegex) {
  m_pattern.Compile(pattern, forceRegex);
}

int cSearchItem::Load(const json_t* item, cRefLists& owner) {
  const json_t* flag = json_object_get(item, "filterElementSearchFlag");
  if (json_is_true(flag)) {
    m_op = kOpEl;
  } else if (json_is_false(flag)) {
    m_op = kOpNel;
  } else if (json_is_string(flag)) {
    m_op = SearchFlag(JsonText(flag));
  } else {
    return -1;
  }

  const json_t* type = json_object_get(item, "filterElementSearchType");
  if (!json_is_string(type)) return -2;
  const std::string_view searchType = JsonText(type);
  const json_t* searchText = json_object_get(item, "filterElementSearchText");
  if (searchType == "input" || searchType == "regex") {
    m_searchType = kSearchPattern;
    // Without a text there is no expression: the item compares against the empty literal.
    const std::string_view text = JsonText(searchText);
    m_pattern.Compile(text, searchType == "regex" && !text.empty());
  } else if (searchType == "text") {
    m_searchType = kSearchTextList;
    if (const uint32_t id = ListId(searchText)) m_textList = owner.TextList(id);
  } else if (searchType == "ip") {
    m_searchType = kSearchIpList;
    if (const uint32_t id = ListId(searchText)) m_ipList = owner.IpList(id);
  } else if (searchType == "whiteText") {
    m_searchType = kSearchTextList;
    m_textList = owner.TextListByName("whiteText");
  } else if (searchType == "whiteIpAddr") {
    m_searchType = kSearchIpList;
    m_ipList = owner.IpListByName("whiteIPAddr");
  } else if (searchType == "user_ip") {
    m_searchType = kSearchIpList;
    m_ipList = owner.IpListByName("default");
  } else {
    return -3;
  }
  return 0;
}

int cSearchItem::Test(const char* text, size_t length, cCmdTemplate* captures) const {
  switch (m_searchType) {
    case kSearchPattern:
      return m_pattern.Match(text, length, captures, m_op);
    case kSearchTextList:
      return TestTextList(text, length, captures);
    case kSearchIpList:
      return TestIpList(text, length);
    default:
      return -1;
  }
}

int cSearchItem::TestTextList(const char* text, size_t length, cCmdTemplate* captures) const {
  const auto passes = [&](uint32_t op) {
    return [=](const cPattern& pattern) { return pattern.Match(text, length, captures, op) > 0; };
  };
  switch (m_op) {
    case kOpEl:
      return m_textList && std::any_of(m_textList->begin(), m_textList->end(), passes(kOpEl));
    case kOpNel:
      return !m_textList || std::all_of(m_textList->begin(), m_textList->end(), passes(kOpNel));
    default:
      return 0;
  }
}

int cSearchItem::TestIpList(const char* text, size_t length) const {
  const std::optional<uint32_t> address = ParseIpAddress(text, length);
  if (!address) return -2;
  const bool listed = m_ipList && IpListContains(*m_ipList, *address);
  switch (m_op) {
    case kOpEl:
      return listed;
    case kOpNel:
      return !listed;
    default:
      return 0;
  }
}

}  // namespace sysfilter
