#pragma once
// Reading the server's texts and flags the way every rule loader here does.
#include <jansson.h>

#include <string>
#include <string_view>

namespace sysfilter {

// The string's bytes (NULs included); empty for a missing value or any other type.
inline std::string_view JsonText(const json_t* value) {
  return json_is_string(value)
             ? std::string_view(json_string_value(value), json_string_length(value))
             : std::string_view();
}

// The server's flags are texts; one whose first character is '1' is set.
inline bool JsonFlag(const json_t* value) {
  const std::string_view text = JsonText(value);
  return !text.empty() && text[0] == '1';
}

// A string as its text, any other value as compact JSON (4624 as "4624"), none as "".
std::string JsonValueText(const json_t* value);

}  // namespace sysfilter
