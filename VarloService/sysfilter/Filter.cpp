#include "VarloService/sysfilter/Filter.h"

#include <spdlog/spdlog.h>

#include <string>
#include <utility>

#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/JsonText.h"
#include "common/Log.h"

namespace sysfilter {

cFilter::~cFilter() {
  if (m_filterId) json_decref(m_filterId);
}

cFilter::cFilter(cFilter&& other) noexcept
    : m_filterId(std::exchange(other.m_filterId, nullptr)),
      m_filterEventKey(std::move(other.m_filterEventKey)),
      m_filterEventProviderKey(std::move(other.m_filterEventProviderKey)),
      m_elements(std::move(other.m_elements)),
      m_responses(std::move(other.m_responses)) {}

int cFilter::Load(const json_t* filter, cRefLists& owner) {
  if (m_filterId) json_decref(m_filterId);
  m_filterId = json_incref(json_object_get(filter, "filterId"));
  const json_t* event = json_object_get(filter, "filterEvent");
  m_filterEventKey = JsonText(json_object_get(event, "filterEventKey"));
  m_filterEventProviderKey = JsonText(json_object_get(event, "filterEventProviderKey"));
  LoadElements(m_elements, json_object_get(filter, "filterElementJson"), owner);

  const json_t* responses = json_object_get(filter, "edrFilterElementList");
  m_responses.reserve(json_array_size(responses));
  size_t index;
  const json_t* response;
  json_array_foreach(responses, index, response) {
    cResponse loaded;
    if (loaded.Load(m_filterId, response, owner) >= 1) m_responses.push_back(std::move(loaded));
  }
  return static_cast<int>(m_responses.size());
}

int cFilter::Detect(EvtRecord& record, bool block) {
  record.AddDetectFilterId(m_filterId ? m_filterId : json_null());
  SPDLOG_INFO("** Detect={}", ForLog(JsonValueText(m_filterId)));
  for (cResponse& response : m_responses) response.Action(record, block);
  return 1;
}

}  // namespace sysfilter
