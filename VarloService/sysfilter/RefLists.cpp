#include "VarloService/sysfilter/RefLists.h"

#include "VarloService/sysfilter/JsonText.h"

namespace sysfilter {

namespace {

bool HasText(const json_t* object, const char* key, std::string_view expected) {
  const json_t* value = json_object_get(object, key);
  return json_is_string(value) && JsonText(value) == expected;
}

uint32_t ListId(const json_t* reference) {
  return static_cast<uint32_t>(json_integer_value(json_object_get(reference, "id")));
}

}  // namespace

int LoadTextList(const json_t* list, PatternList& patterns) {
  patterns.reserve(patterns.size() + json_array_size(list));
  size_t index;
  const json_t* element;
  json_array_foreach(list, index, element) {
    const std::string_view value = JsonText(json_object_get(element, "value"));
    if (value.empty()) continue;
    patterns.emplace_back().Compile(value, JsonFlag(json_object_get(element, "isRegEx")));
  }
  return 0;
}

cRefLists::~cRefLists() { ReleaseJson(); }

void cRefLists::Reset(json_t* references) {
  ReleaseJson();
  m_references = references;
  m_textLists.clear();
  m_ipLists.clear();
}

void cRefLists::ReleaseJson() {
  if (m_references) json_decref(m_references);
  m_references = nullptr;
}

const json_t* cRefLists::FindById(uint32_t id) const {
  size_t index;
  const json_t* reference;
  json_array_foreach(m_references, index, reference) {
    if (ListId(reference) == id) return json_object_get(reference, "list");
  }
  return nullptr;
}

const json_t* cRefLists::FindByName(std::string_view type, std::string_view name) const {
  size_t index;
  const json_t* reference;
  json_array_foreach(m_references, index, reference) {
    if (HasText(reference, "type", type) && HasText(reference, "name", name)) return reference;
  }
  return nullptr;
}

template <typename List>
const List* cRefLists::Shared(std::map<uint32_t, List>& lists, uint32_t id, const json_t* list,
                              int (*load)(const json_t*, List&)) {
  const auto [place, created] = lists.try_emplace(id);
  if (created && list) load(list, place->second);
  return &place->second;
}

const PatternList* cRefLists::TextList(uint32_t id) {
  return Shared(m_textLists, id, FindById(id), LoadTextList);
}

const IpRangeList* cRefLists::IpList(uint32_t id) {
  return Shared(m_ipLists, id, FindById(id), LoadIpList);
}

const PatternList* cRefLists::TextListByName(std::string_view name) {
  const json_t* reference = FindByName("text", name);
  return Shared(m_textLists, ListId(reference), json_object_get(reference, "list"), LoadTextList);
}

const IpRangeList* cRefLists::IpListByName(std::string_view name) {
  const json_t* reference = FindByName("ip", name);
  return Shared(m_ipLists, ListId(reference), json_object_get(reference, "list"), LoadIpList);
}

}  // namespace sysfilter
