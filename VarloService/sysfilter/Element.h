#pragma once
// One element test: where a value stands in the event's own data (a parent element, a leaf
// element, optionally one attribute of the leaf) and the items that judge its text.
#include <jansson.h>

#include <string>
#include <string_view>
#include <vector>

#include "VarloService/sysfilter/RefLists.h"
#include "VarloService/sysfilter/SearchItem.h"

namespace sysfilter {

class cCmdTemplate;

class cElement {
 public:
  void SetParent(std::string_view name);
  // A missing name leaves the leaf unset; a missing attribute value gives an empty one.
  void SetLeaf(const char* name, const char* attributeName, const char* attributeValue);
  // One item per node of the array; returns the number of nodes.
  int LoadItems(const json_t* items, cRefLists& owner);

  // 1 when an item gives more than 0 for the element's text (empty when the element is absent),
  // else 0. Only the first occurrence of each piece counts.
  int Test(std::string_view body, cCmdTemplate* captures) const;

 private:
  std::string_view FindText(std::string_view body) const;

  std::string m_parentStart;
  std::string m_leafStart;
  std::string m_leafEnd;
  std::string m_attribute;
  std::vector<cSearchItem> m_items;
};

// One element per top node of the server's element trees, in order; returns the number of top
// nodes.
int LoadElements(std::vector<cElement>& elements, const json_t* trees, cRefLists& owner);

}  // namespace sysfilter
