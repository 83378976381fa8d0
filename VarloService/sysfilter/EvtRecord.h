#pragma once
// One Windows event while it is filtered: its rendered XML as UTF-8, the spans of the three
// system fields that filters compare, where the event's own data begins, and what detection
// adds for the upload. A record may serve one event after the other; its text keeps its room.
#include <jansson.h>

#include <cstdint>
#include <string>
#include <string_view>

class EvtRecord {
 public:
  EvtRecord() = default;
  ~EvtRecord();
  // The spans point into the record's own text.
  EvtRecord(const EvtRecord&) = delete;
  EvtRecord& operator=(const EvtRecord&) = delete;

  // Takes the rendered XML (UTF-16, NUL-terminated) of a new event; what detection added for an
  // earlier one is released. 0 when every piece was found, otherwise the code of the first missing
  // one: -1 "<EventID", -2 its ">", -3 "</EventID>", -4 "<Provider ", -5 "Name='", -6 the closing
  // quote, -7 "<Channel", -8 its ">", -9 "</Channel>", -10 "</System>". The pieces after a
  // missing one are empty. The text is always valid UTF-8: what cannot be converted is U+FFFD.
  int32_t Parse(const char16_t* xml);

  const std::string& Text() const { return m_text; }
  std::string_view EventId() const { return m_eventId; }
  std::string_view Provider() const { return m_provider; }
  std::string_view Channel() const { return m_channel; }
  // The event's own data after the System block; empty when there is none.
  std::string_view Body() const { return m_body; }
  bool HasBody() const { return m_body.data() != nullptr; }

  // Both null until detection adds the first entry.
  json_t* DetectFilterIds() const { return m_detectFilterIds; }
  json_t* EdrAgentDefenseList() const { return m_edrAgentDefenseList; }
  // Each takes a new reference to the value.
  void AddDetectFilterId(json_t* filterId);
  void AddEdrAgentDefense(json_t* response);

 private:
  void Reset();

  std::string m_text;
  std::string_view m_eventId;
  std::string_view m_provider;
  std::string_view m_channel;
  std::string_view m_body;
  json_t* m_detectFilterIds = nullptr;
  json_t* m_edrAgentDefenseList = nullptr;
};
