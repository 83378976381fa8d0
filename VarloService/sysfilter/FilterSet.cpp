#include "VarloService/sysfilter/FilterSet.h"

#include <charconv>
#include <cstdlib>
#include <memory>

#include "VarloService/sysfilter/EvtRecord.h"

namespace sysfilter {

namespace {

enum eSlotResult : int8_t { kUnknown = -1, kNoMatch = 0, kMatch = 1 };

// The element trees as one text: equal trees make elements that judge every event alike.
std::string TreeText(const json_t* tree) {
  const std::unique_ptr<char, decltype(&free)> text(
      json_dumps(tree, JSON_COMPACT | JSON_SORT_KEYS | JSON_ENCODE_ANY), &free);
  return text ? text.get() : "";
}

}  // namespace

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
  // For each pair, the slot of each element tree seen so far.
  std::unordered_map<std::string, std::unordered_map<std::string, uint32_t>> slotsByTree;
  size_t index;
  const json_t* filter;
  json_array_foreach(filters, index, filter) {
    const uint32_t position = static_cast<uint32_t>(m_filters.size());
    cFilter& loaded = m_filters.emplace_back();
    loaded.Load(filter, m_refLists);
    MakeKey(m_key, loaded.EventKey(), loaded.ProviderKey());
    cEventFilters& pair = m_byEvent[m_key];
    std::unordered_map<std::string, uint32_t>& pairSlots = slotsByTree[m_key];
    pair.filters.push_back(position);
    // One element per tree, in order.
    const json_t* trees = json_object_get(filter, "filterElementJson");
    for (size_t element = 0; element < loaded.Elements().size(); ++element) {
      const auto [slot, added] =
          pairSlots.try_emplace(TreeText(json_array_get(trees, element)),
                                static_cast<uint32_t>(pair.slotElements.size()));
      if (added) pair.slotElements.push_back(&loaded.Elements()[element]);
      pair.slots.push_back(slot->second);
    }
  }
  m_refLists.ReleaseJson();
  if (filters) json_decref(filters);
  return static_cast<int>(m_filters.size());
}

bool cFilterSet::SlotMatches(const cEventFilters& filters, uint32_t slot, std::string_view body) {
  int8_t& result = m_results[slot];
  if (result == kUnknown)
    result = filters.slotElements[slot]->Test(body, nullptr) == 1 ? kMatch : kNoMatch;
  return result == kMatch;
}

int cFilterSet::Action(EvtRecord& record, bool block) {
  MakeKey(m_key, record.EventId(), record.Provider());
  const auto found = m_byEvent.find(m_key);
  if (found == m_byEvent.end()) return 0;
  const cEventFilters& filters = found->second;
  m_results.assign(filters.slotElements.size(), kUnknown);
  const std::string_view body = record.Body();
  int matched = 0;
  const uint32_t* slot = filters.slots.data();
  for (uint32_t position : filters.filters) {
    cFilter& filter = m_filters[position];
    const size_t elements = filter.Elements().size();
    bool all = elements > 0;
    for (size_t element = 0; all && element < elements; ++element)
      all = SlotMatches(filters, slot[element], body);
    slot += elements;
    if (all) matched += filter.Detect(record, block);
  }
  return matched;
}

void cFilterSet::Clear() {
  m_byEvent.clear();
  m_filters.clear();
}

}  // namespace sysfilter
