#pragma once
// The detection filters of the event collector, in the server's order, with the reference lists
// their items share. A filter applies only to events of its EventID and provider, so each event
// runs only the filters of its own pair, found through an index made at load; and the filters of
// one pair that test equal elements share the result, judged once an event.
#include <jansson.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "VarloService/sysfilter/Filter.h"
#include "VarloService/sysfilter/RefLists.h"

class EvtRecord;

namespace sysfilter {

class cFilterSet {
 public:
  // Replaces everything. Takes both references (either may be null) and releases them before it
  // returns. Returns the number of filters taken; none is dropped.
  int Load(json_t* filters, json_t* references);

  // Runs, in server order and without stopping at a match, every filter of the record's EventID
  // and provider (the others cannot match it): a filter matches when it has elements and each of
  // them matches the record's own data. Returns how many matched. One thread at a time.
  int Action(EvtRecord& record, bool block);

  // Destroys the filters; the lists stay until the next Load.
  void Clear();

  size_t Size() const { return m_filters.size(); }

 private:
  // The filters of one EventID and provider.
  struct cEventFilters {
    std::vector<uint32_t> filters;  // positions in m_filters, in server order
    // The result slot of each element of those filters, filter after filter; equal elements
    // share a slot.
    std::vector<uint32_t> slots;
    std::vector<const cElement*> slotElements;  // the element tested for each slot
  };

  // One text for an EventID and a provider, told apart by the EventID's length.
  static void MakeKey(std::string& key, std::string_view eventId, std::string_view provider);
  // The result of a slot for the event being tested, judged at its first use.
  bool SlotMatches(const cEventFilters& filters, uint32_t slot, std::string_view body);

  // Declared first so that it outlives the filters whose items point into it.
  cRefLists m_refLists;
  std::vector<cFilter> m_filters;
  std::unordered_map<std::string, cEventFilters> m_byEvent;
  std::string m_key;              // of the event being tested, kept for its room
  std::vector<int8_t> m_results;  // of the slots, for the event being tested
};

}  // namespace sysfilter
