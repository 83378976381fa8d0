#include "VarloService/sysfilter/FilterSet.h"

namespace sysfilter {

int cFilterSet::Load(json_t* filters, json_t* references) {
  m_filters.clear();
  m_refLists.Reset(references);
  m_filters.reserve(json_array_size(filters));
  size_t index;
  const json_t* filter;
  json_array_foreach(filters, index, filter) { m_filters.emplace_back().Load(filter, m_refLists); }
  m_refLists.ReleaseJson();
  if (filters) json_decref(filters);
  return static_cast<int>(m_filters.size());
}

int cFilterSet::Action(EvtRecord& record, bool block) {
  int matched = 0;
  for (cFilter& filter : m_filters) matched += filter.Action(record, block);
  return matched;
}

}  // namespace sysfilter
