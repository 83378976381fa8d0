#pragma once
// One condition of a web filter: a request field and the selectors it is compared with; it
// matches when any selector does.
#include <jansson.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VarloService/webfilter/Selector.h"
#include "VarloService/webfilter/WebRecord.h"

namespace webfilter {

class cElement {
 public:
  // The number of selectors; 0 when there are none or one failed to load, -1 no field name,
  // -2 unknown field type.
  int Load(const json_t* element);

  // 1 match, 0 no match.
  int Match(WebRecord& record) const;

 private:
  bool AnyNegated() const;
  int MatchNumber(int64_t number) const;

  int32_t m_Field = -1;
  std::string m_CustomName;
  std::vector<cSelector> m_Selectors;
  int32_t m_Type = kStringElement;
};

}  // namespace webfilter
