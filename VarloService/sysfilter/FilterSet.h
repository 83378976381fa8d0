#pragma once
// The detection filters of the event collector, in the server's order, with the reference lists
// their items share.
#include <jansson.h>

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

  // Runs every filter in order, without stopping at a match; returns how many matched.
  int Action(EvtRecord& record, bool block);

  // Destroys the filters; the lists stay until the next Load.
  void Clear() { m_filters.clear(); }

  std::vector<cFilter>& Filters() { return m_filters; }
  size_t Size() const { return m_filters.size(); }

 private:
  // Declared first so that it outlives the filters whose items point into it.
  cRefLists m_refLists;
  std::vector<cFilter> m_filters;
};

}  // namespace sysfilter
