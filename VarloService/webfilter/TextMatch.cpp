#include "VarloService/webfilter/TextMatch.h"

#include <string>

namespace webfilter {

namespace {

// The length of the valid UTF-8 sequence (RFC 3629) at the start of the text, or 0.
size_t SequenceLength(std::string_view text) {
  const unsigned char lead = text[0];
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t smallest;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = text[i];
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// The text itself when it is valid UTF-8; otherwise a copy in `scratch` with every byte outside a
// valid sequence replaced by '?'.
std::string_view AsUtf8(std::string_view text, std::string& scratch) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t length = SequenceLength(text.substr(pos));
    if (length == 0) break;
    pos += length;
  }
  if (pos == text.size()) return text;

  scratch.assign(text);
  while (pos < scratch.size()) {
    const size_t length = SequenceLength(std::string_view(scratch).substr(pos));
    if (length == 0) {
      scratch[pos] = '?';
      ++pos;
    } else {
      pos += length;
    }
  }
  return scratch;
}

}  // namespace

int MatchText(const sysfilter::cPattern& pattern, std::string_view text, uint32_t op) {
  if (!pattern.IsRegex()) return pattern.Match(text.data(), text.size(), nullptr, op);
  // Only the web-log worker thread matches requests; the copy is reused across its records.
  thread_local std::string scratch;
  const std::string_view subject = AsUtf8(text, scratch);
  return pattern.Match(subject.data(), subject.size(), nullptr, op);
}

}  // namespace webfilter
