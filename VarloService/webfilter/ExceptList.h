#pragma once
// The web exception lists: the upload exceptions (select and except entries) and the WAF
// exceptions (block-only entries). An entry matches a record when all of its conditions do.
#include <jansson.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VarloService/sysfilter/Pattern.h"
#include "VarloService/webfilter/WebRecord.h"

namespace webfilter {

class cExceptCond {
 public:
  void Load(const char* key, const json_t* value, const json_t* isRegex);
  // 1 match, 0 no match.
  int Match(WebRecord& record) const;

 private:
  int32_t m_Field = -1;
  std::string m_CustomName;
  // A value that is not a string has no text and never matches.
  bool m_HasValue = false;
  sysfilter::cPattern m_Value;
};

class cExceptEntry {
 public:
  // The number of conditions; an entry without "exceptEntry" object has none and matches every
  // record.
  int Load(json_t* entry);
  bool Match(WebRecord& record) const;

 private:
  std::vector<cExceptCond> m_Conds;
};

class cExceptList {
 public:
  enum eMode : int32_t { kBlockOnly = 0, kSelectExcept = 1 };

  explicit cExceptList(eMode mode) : m_Mode(mode) {}

  // Replaces every entry by those of the list (its reference passes) and returns the number of
  // list items.
  int Load(json_t* list);

  // Select/except mode: 1 excepted, 0 not. Block-only mode: 2 matched, 0 not.
  int Check(WebRecord& record) const;

 private:
  std::vector<cExceptEntry> m_Entries;
  const eMode m_Mode;
  // Select entries stand first (select/except mode); in block-only mode every loaded entry.
  uint32_t m_SelectCount = 0;
};

}  // namespace webfilter
