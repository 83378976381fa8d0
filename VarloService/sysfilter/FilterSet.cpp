#include "VarloService/sysfilter/FilterSet.h"

#include <charconv>

#include "VarloService/sysfilter/EvtRecord.h"

namespace sysfilter {

void cFilterSet::MakeKey(std::string& key, std::string_view eventId, std::string_view provider) {
  char length[24];
  key.assign(length, std::to_chars(length, length + sizeof length, eventId.size()).ptr);
  key += ':';
  key += eventId;
  key += provider;
}

int cFilterSet::Load(json_t* filters, json_t* references) {
  Clear();
  m_refLists.Reset(references);
  m_filters.reserve(json_array_size(filters));
  size_t index;
  const json_t* filter;
  json_array_foreach(filters, index, filter) { m_filters.emplace_back().Load(filter, m_refLists); }
  m_refLists.ReleaseJson();
  if (filters) json_decref(filters);

  for (uint32_t position = 0; position < m_filters.size(); ++position) {
    MakeKey(m_key, m_filters[position].EventKey(), m_filters[position].ProviderKey());
    m_byEvent[m_key].push_back(position);
  }
  return static_cast<int>(m_filters.size());
}

int cFilterSet::Action(EvtRecord& record, bool block) {
  MakeKey(m_key, record.EventId(), record.Provider());
  const auto applying = m_byEvent.find(m_key);
  if (applying == m_byEvent.end()) return 0;
  int matched = 0;
  for (uint32_t position : applying->second) matched += m_filters[position].Action(record, block);
  return matched;
}

void cFilterSet::Clear() {
  m_byEvent.clear();
  m_filters.clear();
}

}  // namespace sysfilter
