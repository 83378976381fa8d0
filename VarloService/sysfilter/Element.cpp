#include "VarloService/sysfilter/Element.h"

namespace sysfilter {

namespace {

constexpr size_t kNone = std::string_view::npos;

// Just past the ">" of a start tag whose name ends at nameEnd; kNone when the name goes on there
// (another element whose name starts the same) or the tag never closes.
size_t StartTagEnd(std::string_view body, size_t nameEnd) {
  if (nameEnd >= body.size()) return kNone;
  if (body[nameEnd] == '>') return nameEnd + 1;
  if (body[nameEnd] != ' ') return kNone;
  const size_t close = body.find('>', nameEnd);
  return close == kNone ? kNone : close + 1;
}

// "<Data Name='x'/>" holds nothing; what follows belongs to the next element.
bool SelfClosing(std::string_view body, size_t tagEnd) {
  return tagEnd >= 2 && body[tagEnd - 2] == '/';
}

const char* NodeName(const json_t* node) {
  return json_string_value(json_object_get(node, "filterElementName"));
}

}  // namespace

void cElement::SetParent(std::string_view name) {
  m_parentStart = "<";
  m_parentStart += name;
}

void cElement::SetLeaf(const char* name, const char* attributeName, const char* attributeValue) {
  if (name) {
    m_leafStart = std::string("<") + name;
    m_leafEnd = std::string("</") + name + ">";
  }
  if (attributeName) {
    m_leafStart += ' ';
    m_attribute =
        std::string(" ") + attributeName + "='" + (attributeValue ? attributeValue : "") + "'";
  }
}

int cElement::LoadItems(const json_t* items, cRefLists& owner) {
  m_items.reserve(json_array_size(items));
  size_t index;
  const json_t* item;
  json_array_foreach(items, index, item) { m_items.emplace_back().Load(item, owner); }
  return static_cast<int>(json_array_size(items));
}

std::string_view cElement::FindText(std::string_view body) const {
  const size_t parent = body.find(m_parentStart);
  if (parent == kNone) return {};
  const size_t parentEnd = StartTagEnd(body, parent + m_parentStart.size());
  if (parentEnd == kNone || SelfClosing(body, parentEnd)) return {};

  size_t leafEnd;
  if (!m_attribute.empty()) {
    const size_t attribute = body.find(m_attribute, parentEnd);
    if (attribute == kNone) return {};
    const size_t close = body.find('>', attribute + m_attribute.size());
    if (close == kNone) return {};
    leafEnd = close + 1;
  } else {
    const size_t leaf = body.find(m_leafStart, parentEnd);
    if (leaf == kNone) return {};
    leafEnd = StartTagEnd(body, leaf + m_leafStart.size());
    if (leafEnd == kNone) return {};
  }
  if (SelfClosing(body, leafEnd)) return {};
  const size_t end = body.find(m_leafEnd, leafEnd);
  if (end == kNone) return {};
  return body.substr(leafEnd, end - leafEnd);
}

int cElement::Test(std::string_view body, cCmdTemplate* captures) const {
  const std::string_view text = FindText(body);
  for (const cSearchItem& item : m_items) {
    if (item.Test(text.data(), text.size(), captures) > 0) return 1;
  }
  return 0;
}

int LoadElements(std::vector<cElement>& elements, const json_t* trees, cRefLists& owner) {
  elements.reserve(elements.size() + json_array_size(trees));
  size_t index;
  const json_t* top;
  json_array_foreach(trees, index, top) {
    cElement& element = elements.emplace_back();
    if (const char* name = NodeName(top)) element.SetParent(name);
    const json_t* siblings = json_object_get(top, "childArray");
    const json_t* leaf = json_array_get(siblings, 0);
    if (!leaf) continue;
    for (const json_t* children = json_object_get(leaf, "childArray");
         json_array_size(children) > 0; children = json_object_get(leaf, "childArray")) {
      if (const char* name = NodeName(leaf)) element.SetParent(name);
      siblings = children;
      leaf = json_array_get(siblings, 0);
    }
    element.SetLeaf(NodeName(leaf),
                    json_string_value(json_object_get(leaf, "filterElementAttributeName")),
                    json_string_value(json_object_get(leaf, "filterElementAttributeValue")));
    element.LoadItems(siblings, owner);
  }
  return static_cast<int>(json_array_size(trees));
}

}  // namespace sysfilter
