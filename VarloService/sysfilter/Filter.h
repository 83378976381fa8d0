#pragma once
// One detection filter: an EventID and a provider, element tests on the event's own data, and
// the responses that run when it matches. Its set finds the filters of an event and tests their
// elements (cFilterSet).
#include <jansson.h>

#include <string>
#include <vector>

#include "VarloService/sysfilter/Element.h"
#include "VarloService/sysfilter/RefLists.h"
#include "VarloService/sysfilter/Response.h"

class EvtRecord;

namespace sysfilter {

class cFilter {
 public:
  cFilter() = default;
  ~cFilter();
  cFilter(cFilter&& other) noexcept;
  cFilter& operator=(cFilter&& other) = delete;
  cFilter(const cFilter&) = delete;
  cFilter& operator=(const cFilter&) = delete;

  // Returns the number of responses kept (those with an id that is not null and with elements).
  int Load(const json_t* filter, cRefLists& owner);

  // The EventID and provider the filter applies to (empty when the server gave none).
  const std::string& EventKey() const { return m_filterEventKey; }
  const std::string& ProviderKey() const { return m_filterEventProviderKey; }
  // All of them must match the event's own data; a filter without elements never matches.
  const std::vector<cElement>& Elements() const { return m_elements; }

  // The filter matched the record: its id is added to the record's "detectFilterIds" and every
  // response runs in order. Returns 1.
  int Detect(EvtRecord& record, bool block);

 private:
  json_t* m_filterId = nullptr;
  std::string m_filterEventKey;
  std::string m_filterEventProviderKey;
  std::vector<cElement> m_elements;
  std::vector<cResponse> m_responses;
};

}  // namespace sysfilter
