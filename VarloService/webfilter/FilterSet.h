#pragma once
// The server's web filters: detection rules for requests. A filter matches a record when every
// one of its elements does.
#include <jansson.h>

#include <vector>

#include "VarloService/webfilter/Element.h"
#include "VarloService/webfilter/WebRecord.h"

namespace webfilter {

class cFilter {
 public:
  cFilter() = default;
  ~cFilter();
  cFilter(cFilter&& other) noexcept;
  cFilter& operator=(cFilter&& other) noexcept;
  cFilter(const cFilter&) = delete;
  cFilter& operator=(const cFilter&) = delete;

  // The number of elements; 0 when any element failed to load, which leaves the filter without
  // elements, so it never matches.
  int Load(const json_t* filter);

  // 1 when the filter has elements and every one matches, else 0.
  int Match(WebRecord& record) const;

  // The server's "webExtendsFilterId", any JSON type; null when it had none.
  json_t* Id() const { return m_Id; }

 private:
  std::vector<cElement> m_Elements;
  json_t* m_Id = nullptr;
};

class cFilterSet {
 public:
  // Replaces every filter by those of the list (its reference passes) and returns the number of
  // list items. A filter that fails to load stays in the set and never matches.
  int Load(json_t* list);

  // Appends {"webExtendsFilterId": id, "matchedItem": []} to the record's "webExtendsDetects"
  // for each matching filter, in filter order, and returns the number of matching filters.
  int Detect(WebRecord& record) const;

  size_t Size() const { return m_Filters.size(); }

 private:
  std::vector<cFilter> m_Filters;
};

}  // namespace webfilter
