#include "VarloService/sysfilter/JsonText.h"

#include <cstdlib>

namespace sysfilter {

std::string JsonValueText(const json_t* value) {
  if (json_is_string(value)) return std::string(JsonText(value));
  char* dumped = value ? json_dumps(value, JSON_ENCODE_ANY | JSON_COMPACT) : nullptr;
  const std::string text = dumped ? dumped : "";
  free(dumped);
  return text;
}

}  // namespace sysfilter
