#pragma once
// The server's reference lists of texts and address ranges, shared by every item of one filter
// set or exception list that names them. A list is loaded at its first use and kept until the
// owner loads again.
#include <jansson.h>

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "VarloService/sysfilter/IpRange.h"
#include "VarloService/sysfilter/Pattern.h"

namespace sysfilter {

using PatternList = std::vector<cPattern>;

// Fills the list from the "list" array of a reference list: one pattern per non-empty "value",
// an expression when "isRegEx" starts with '1'. Returns 0.
int LoadTextList(const json_t* list, PatternList& patterns);

class cRefLists {
 public:
  cRefLists() = default;
  ~cRefLists();
  cRefLists(const cRefLists&) = delete;
  cRefLists& operator=(const cRefLists&) = delete;

  // Empties both maps and holds the server's reference lists (takes the reference; null for
  // none) until ReleaseJson.
  void Reset(json_t* references);
  void ReleaseJson();

  // The "list" array of the first reference list with that id, or null.
  const json_t* FindById(uint32_t id) const;
  // The first reference list whose "type" and "name" are these texts, or null.
  const json_t* FindByName(std::string_view type, std::string_view name) const;

  // The shared list of that id, created (and loaded when the id is known) at first use.
  const PatternList* TextList(uint32_t id);
  const IpRangeList* IpList(uint32_t id);
  // The same for the list found by type and name; an unknown name shares the empty list of id 0.
  const PatternList* TextListByName(std::string_view name);
  const IpRangeList* IpListByName(std::string_view name);

 private:
  template <typename List>
  const List* Shared(std::map<uint32_t, List>& lists, uint32_t id, const json_t* list,
                     int (*load)(const json_t*, List&));

  json_t* m_references = nullptr;
  std::map<uint32_t, PatternList> m_textLists;
  std::map<uint32_t, IpRangeList> m_ipLists;
};

}  // namespace sysfilter
