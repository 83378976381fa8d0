#include "VarloService/sysfilter/EvtExceptList.h"

#include <algorithm>

#include "VarloService/sysfilter/EvtRecord.h"
#include "VarloService/sysfilter/JsonText.h"

using sysfilter::JsonFlag;
using sysfilter::JsonText;

namespace {

constexpr size_t kNone = std::string_view::npos;

bool IsSelect(const json_t* exception) {
  return JsonText(json_object_get(exception, "exceptType")) == "select";
}

}  // namespace

int cEvtExceptEntry::Load(const json_t* exception) {
  const json_t* channels = json_object_get(exception, "xmlChannelValue");
  size_t index;
  const json_t* channel;
  json_array_foreach(channels, index, channel) { m_channels.emplace_back(JsonText(channel)); }

  int added = 0;
  const json_t* regexFlags = json_object_get(exception, "isRegex");
  const char* name;
  const json_t* value;
  json_t* conditions = json_object_get(exception, "exceptEntry");
  json_object_foreach(conditions, name, value) {
    if (!*name) continue;
    const bool regex = JsonFlag(json_object_get(regexFlags, name));
    m_conditions.insert_or_assign(
        name, cCondition{sysfilter::cSearchItem(sysfilter::JsonValueText(value), regex),
                         EntryText(name)});
    ++added;
  }
  return added;
}

std::string cEvtExceptEntry::EntryText(std::string_view name) {
  std::string text = " Name='";
  text += name;
  text += '\'';
  return text;
}

int cEvtExceptEntry::GetEventData(std::string_view body, std::string_view name,
                                  std::string_view& value) {
  return FindEventData(body, EntryText(name), value);
}

int cEvtExceptEntry::FindEventData(std::string_view body, std::string_view entryText,
                                   std::string_view& value) {
  constexpr std::string_view kEventData = "<EventData";
  const size_t eventData = body.find(kEventData);
  if (eventData == kNone) return -1;
  const size_t entry = body.find(entryText, eventData + kEventData.size() + 1);
  if (entry == kNone) return -2;
  const size_t close = body.find('>', entry + entryText.size());
  if (close == kNone) return -3;
  if (body[close - 1] == '/') {
    value = body.substr(close + 1, 0);
    return 1;
  }
  const size_t end = body.find("</Data>", close + 1);
  if (end == kNone) return -4;
  value = body.substr(close + 1, end - close - 1);
  return 1;
}

int cEvtExceptEntry::Check(const EvtRecord& record) const {
  if (!m_channels.empty() &&
      std::find(m_channels.begin(), m_channels.end(), record.Channel()) == m_channels.end()) {
    return 0;
  }
  for (const auto& [name, condition] : m_conditions) {
    std::string_view text;
    if (name == "EventID") {
      text = record.EventId();
    } else if (FindEventData(record.Body(), condition.entryText, text) != 1) {
      return 0;
    }
    if (condition.item.Test(text.data(), text.size(), nullptr) < 1) return 0;
  }
  return 1;
}

int cEvtExceptList::Load(json_t* exceptions) {
  Clear();
  m_entries.reserve(json_array_size(exceptions));
  // Select entries first, each group in its own order.
  for (const bool select : {true, false}) {
    size_t index;
    const json_t* exception;
    json_array_foreach(exceptions, index, exception) {
      if (IsSelect(exception) != select) continue;
      m_entries.emplace_back().Load(exception);
      if (select) ++m_selectCount;
    }
  }
  const int loaded = static_cast<int>(json_array_size(exceptions));
  if (exceptions) json_decref(exceptions);
  return loaded;
}

void cEvtExceptList::Clear() {
  m_entries.clear();
  m_selectCount = 0;
}

int cEvtExceptList::Decide(const EvtRecord& record) const {
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (m_entries[i].Check(record) > 0) return i < m_selectCount ? 1 : 2;
  }
  return 0;
}
