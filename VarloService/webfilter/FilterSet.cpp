#include "VarloService/webfilter/FilterSet.h"

#include <spdlog/spdlog.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "common/Log.h"

namespace webfilter {

namespace {

// An identifier as the error line shows it: a string as it stands, any other value as JSON.
std::string IdText(const json_t* id) {
  if (json_is_string(id)) return std::string(json_string_value(id), json_string_length(id));
  char* dumped = id ? json_dumps(id, JSON_ENCODE_ANY | JSON_COMPACT) : nullptr;
  std::string text = dumped ? dumped : "none";
  std::free(dumped);
  return text;
}

}  // namespace

cFilter::~cFilter() { json_decref(m_Id); }

cFilter::cFilter(cFilter&& other) noexcept
    : m_Elements(std::move(other.m_Elements)), m_Id(std::exchange(other.m_Id, nullptr)) {}

cFilter& cFilter::operator=(cFilter&& other) noexcept {
  if (this != &other) {
    json_decref(m_Id);
    m_Elements = std::move(other.m_Elements);
    m_Id = std::exchange(other.m_Id, nullptr);
  }
  return *this;
}

int cFilter::Load(const json_t* filter) {
  json_decref(m_Id);
  m_Id = json_incref(json_object_get(filter, "webExtendsFilterId"));
  const json_t* elements = json_object_get(filter, "webExtendsFilterElements");
  const size_t count = json_array_size(elements);
  m_Elements.clear();
  m_Elements.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const int result = m_Elements[i].Load(json_array_get(elements, i));
    if (result < 1) {
      SPDLOG_ERROR("WebFilter.Load(F={})={}", ForLog(IdText(m_Id)), result);
      m_Elements.clear();
      return 0;
    }
  }
  return static_cast<int>(count);
}

int cFilter::Match(WebRecord& record) const {
  if (m_Elements.empty()) return 0;
  for (const cElement& element : m_Elements) {
    if (!element.Match(record)) return 0;
  }
  return 1;
}

int cFilterSet::Load(json_t* list) {
  const size_t count = json_array_size(list);
  m_Filters.clear();
  m_Filters.resize(count);
  for (size_t i = 0; i < count; ++i) m_Filters[i].Load(json_array_get(list, i));
  json_decref(list);
  return static_cast<int>(count);
}

int cFilterSet::Detect(WebRecord& record) const {
  int count = 0;
  for (const cFilter& filter : m_Filters) {
    if (!filter.Match(record)) continue;
    json_t* detection = json_object();
    json_object_set(detection, "webExtendsFilterId", filter.Id() ? filter.Id() : json_null());
    json_object_set_new(detection, "matchedItem", json_array());
    json_array_append_new(record.Detects(), detection);
    ++count;
  }
  return count;
}

}  // namespace webfilter
