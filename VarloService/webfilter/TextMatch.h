#pragma once
// Running a pattern over request text. Decoded request fields may hold any bytes, while the
// expressions are compiled for UTF-8, which refuses a subject that is not valid UTF-8 as a whole.
#include <cstdint>
#include <string_view>

#include "VarloService/sysfilter/Pattern.h"

namespace webfilter {

// 1 when the text passes the pattern under the operator, else 0. An expression sees every byte
// that is not part of a valid UTF-8 sequence as '?', so one such byte cannot hide the rest of the
// text from it; a literal compares the bytes as they are.
int MatchText(const sysfilter::cPattern& pattern, std::string_view text, uint32_t op);

}  // namespace webfilter
