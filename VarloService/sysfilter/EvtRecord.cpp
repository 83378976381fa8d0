#include "VarloService/sysfilter/EvtRecord.h"

#include <utility>

#include "platform/TextConv.h"

namespace {

constexpr size_t kNone = std::string_view::npos;

// The characters between the ">" that closes the start tag found at `tag` and `end`.
struct cMissingCodes {
  int32_t noOpen, noClose, noEnd;
};

int32_t FindTagText(std::string_view text, std::string_view tag, std::string_view end,
                    const cMissingCodes& codes, std::string_view& span) {
  const size_t start = text.find(tag);
  if (start == kNone) return codes.noOpen;
  const size_t close = text.find('>', start + tag.size());
  if (close == kNone) return codes.noClose;
  const size_t last = text.find(end, close + 1);
  if (last == kNone) return codes.noEnd;
  span = text.substr(close + 1, last - close - 1);
  return 0;
}

// Windows renders the Name attribute in single quotes; other renderings of the same event use
// double quotes, and the first of the two after the tag decides.
int32_t FindProviderName(std::string_view text, std::string_view& span) {
  constexpr std::string_view kTag = "<Provider ";
  const size_t start = text.find(kTag);
  if (start == kNone) return -4;
  const size_t from = start + kTag.size();
  const size_t single = text.find("Name='", from);
  const size_t dual = text.find("Name=\"", from);
  const size_t name = std::min(single, dual);
  if (name == kNone) return -5;
  const size_t valueStart = name + 6;
  const size_t valueEnd = text.find(text[name + 5], valueStart);
  if (valueEnd == kNone) return -6;
  span = text.substr(valueStart, valueEnd - valueStart);
  return 0;
}

void AppendTo(json_t*& array, json_t* value) {
  if (!array) array = json_array();
  json_array_append(array, value);
}

}  // namespace

EvtRecord::~EvtRecord() { Reset(); }

void EvtRecord::Reset() {
  m_eventId = {};
  m_provider = {};
  m_channel = {};
  m_body = {};
  if (m_detectFilterIds) json_decref(std::exchange(m_detectFilterIds, nullptr));
  if (m_edrAgentDefenseList) json_decref(std::exchange(m_edrAgentDefenseList, nullptr));
}

int32_t EvtRecord::Parse(const char16_t* xml) {
  Reset();
  Utf16ToUtf8(xml ? std::u16string_view(xml) : std::u16string_view(), m_text);
  const std::string_view text = m_text;

  if (int32_t missing = FindTagText(text, "<EventID", "</EventID>", {-1, -2, -3}, m_eventId)) {
    return missing;
  }
  if (int32_t missing = FindProviderName(text, m_provider)) return missing;
  if (int32_t missing = FindTagText(text, "<Channel", "</Channel>", {-7, -8, -9}, m_channel)) {
    return missing;
  }
  constexpr std::string_view kSystemEnd = "</System>";
  const size_t systemEnd = text.find(kSystemEnd);
  if (systemEnd == kNone) return -10;
  m_body = text.substr(systemEnd + kSystemEnd.size());
  return 0;
}

void EvtRecord::AddDetectFilterId(json_t* filterId) { AppendTo(m_detectFilterIds, filterId); }

void EvtRecord::AddEdrAgentDefense(json_t* response) { AppendTo(m_edrAgentDefenseList, response); }
