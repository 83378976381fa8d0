#pragma once
// The server's upload exceptions for Windows events. An event that matches an ordinary
// exception is neither tested against the filters nor uploaded; one that matches a "select"
// entry goes on at once. The select entries stand first and the first matching entry decides.
#include <jansson.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "VarloService/sysfilter/SearchItem.h"

class EvtRecord;

class cEvtExceptEntry {
 public:
  // Returns the number of conditions added.
  int Load(const json_t* exception);

  // 1 when the event is on one of the channels (any when none are given) and meets every
  // condition, else 0.
  int Check(const EvtRecord& record) const;

  // The text of the EventData entry Data Name='name': 1 found (a self-closing entry is the empty
  // text), -1 no "<EventData", -2 no such entry, -3 no ">" after it, -4 no "</Data>".
  static int GetEventData(std::string_view body, std::string_view name, std::string_view& value);

 private:
  struct cCondition {
    sysfilter::cSearchItem item;
    std::string entryText;  // " Name='name'", built once for every event
  };

  static std::string EntryText(std::string_view name);
  static int FindEventData(std::string_view body, std::string_view entryText,
                           std::string_view& value);

  std::vector<std::string> m_channels;
  // Tested in byte-wise order of the names.
  std::map<std::string, cCondition> m_conditions;
};

class cEvtExceptList {
 public:
  // Replaces every entry; takes the reference (null for none) and releases it before returning.
  // Returns the number of exceptions loaded.
  int Load(json_t* exceptions);
  void Clear();

  const std::vector<cEvtExceptEntry>& Entries() const { return m_entries; }
  // How many entries at the front are select entries.
  size_t SelectCount() const { return m_selectCount; }

  // The entry that decides for this event: 1 a select entry (the event goes on), 2 an ordinary
  // exception (the event is dropped), 0 none matched.
  int Decide(const EvtRecord& record) const;

 private:
  std::vector<cEvtExceptEntry> m_entries;
  size_t m_selectCount = 0;
};
