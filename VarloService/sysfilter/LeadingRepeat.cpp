#include "VarloService/sysfilter/LeadingRepeat.h"

#include <cstring>

namespace sysfilter {

namespace {
constexpr int kGroupDepth = 4;  // as deep as PCRE's JIT looks for it

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Constructs after which an attempt may depend on more than the position: conditions, verbs,
// recursion and subroutine calls, branch resets, callouts; and \Q, extended syntax and the word
// boundaries that PCRE writes anew, which this reading does not follow.
bool HasUnfollowedConstruct(std::string_view text) {
  for (std::string_view part : {"(?(", "(*", "(?R", "(?&", "(?P>", "(?|", "(?C", "\\g", "\\Q", "(?#", "[[:<:]]", "[[:>:]]"}) {
    if (Contains(text, part)) return true;
  }
  for (size_t at = text.find("(?"); at != std::string_view::npos; at = text.find("(?", at + 1)) {
    const std::string_view rest = text.substr(at + 2);
    if (!rest.empty() && (std::strchr("0123456789+", rest[0]) != nullptr ||
                          (rest[0] == '-' && rest.size() > 1 && rest[1] >= '0' && rest[1] <= '9'))) {
      return true;
    }
    // Option letters up to ':' or ')' (a name, a lookaround or an atomic group ends the run).
    for (size_t i = 0; i < rest.size() && std::strchr("imsxUJX-", rest[i]) != nullptr; ++i) {
      if (rest[i] == 'x') return true;
    }
  }
  return false;
}

// The end of the bracketed class that starts at `at`, or npos.
size_t ClassEnd(std::string_view text, size_t at) {
  size_t i = at + 1;
  if (i < text.size() && text[i] == '^') ++i;
  if (i < text.size() && text[i] == ']') ++i;  // a ']' first is a member
  while (i < text.size()) {
    if (text[i] == '\\') {
      i += 2;
    } else if (text.compare(i, 2, "[:") == 0) {
      const size_t close = text.find(":]", i + 2);
      if (close == std::string_view::npos) return std::string_view::npos;
      i = close + 2;
    } else if (text[i] == ']') {
      return i + 1;
    } else {
      ++i;
    }
  }
  return std::string_view::npos;
}

// The end of the group that opens at `at` (its closing parenthesis included), or npos.
size_t GroupEnd(std::string_view text, size_t at) {
  int depth = 0;
  for (size_t i = at; i < text.size();) {
    if (text[i] == '\\') {
      i += 2;
    } else if (text[i] == '[') {
      i = ClassEnd(text, i);
      if (i == std::string_view::npos) return i;
    } else {
      if (text[i] == '(') ++depth;
      if (text[i] == ')' && --depth == 0) return i + 1;
      ++i;
    }
  }
  return std::string_view::npos;
}

// The length of the opening of a group that may stand before the repeat ("(", "(?:", "(?i:",
// "(?<name>", "(?P<name>", "(?'name'"), or 0.
size_t GroupOpening(std::string_view text, size_t at) {
  if (text.compare(at, 1, "(") != 0) return 0;
  if (text.compare(at, 2, "(?") != 0) return 1;
  size_t i = at + 2;
  if (text.compare(i, 2, "P<") == 0 || text.compare(i, 1, "<") == 0 || text.compare(i, 1, "'") == 0) {
    i += text[i] == 'P' ? 2 : 1;
    const char close = text[i - 1] == '\'' ? '\'' : '>';
    if (i < text.size() && (text[i] == '=' || text[i] == '!')) return 0;  // a lookbehind
    const size_t end = text.find(close, i);
    return end == std::string_view::npos ? 0 : end + 1 - at;
  }
  while (i < text.size() && std::strchr("imsUJ-", text[i]) != nullptr) ++i;
  return text.compare(i, 1, ":") == 0 ? i + 1 - at : 0;
}

// The length of a zero-width assertion or an option setting that may stand before the repeat.
size_t ZeroWidth(std::string_view text, size_t at) {
  if (at < text.size() && (text[at] == '^' || text[at] == '$')) return 1;
  if (text.compare(at, 1, "\\") == 0 && at + 1 < text.size() && std::strchr("AzZbBG", text[at + 1]) != nullptr) {
    return 2;
  }
  if (text.compare(at, 2, "(?") == 0) {
    size_t i = at + 2;
    while (i < text.size() && std::strchr("imsUJ-", text[i]) != nullptr) ++i;
    if (i > at + 2 && text.compare(i, 1, ")") == 0) return i + 1 - at;
  }
  return 0;
}

// The length of one character, class or character type at `at` that a repeat may read; 0 for
// anything else (\R and \X, which read more than one character, among them).
size_t OneCharacter(std::string_view text, size_t at) {
  if (at >= text.size()) return 0;
  const char c = text[at];
  if (c == '[') {
    const size_t end = ClassEnd(text, at);
    return end == std::string_view::npos ? 0 : end - at;
  }
  if (c == '.') return 1;
  if (c == '\\') {
    if (at + 1 >= text.size()) return 0;
    const char type = text[at + 1];
    if (std::strchr("dDwWsShHvVN", type) != nullptr) return 2;
    const bool letterOrDigit = (type >= 'a' && type <= 'z') || (type >= 'A' && type <= 'Z') || (type >= '0' && type <= '9');
    if (!letterOrDigit && (static_cast<unsigned char>(type) & 0x80) == 0) return 2;  // an escaped sign: itself
    if ((type == 'p' || type == 'P') && at + 2 < text.size()) {
      if (text[at + 2] != '{') return 3;
      const size_t close = text.find('}', at + 3);
      return close == std::string_view::npos ? 0 : close + 1 - at;
    }
    return 0;
  }
  if (std::strchr("^$|?*+(){}", c) != nullptr) return 0;
  size_t length = 1;  // a literal, with the continuation bytes of its UTF-8 sequence
  while (at + length < text.size() && (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80) ++length;
  return length;
}
}  // namespace

std::optional<cLeadingRepeat> FindLeadingRepeat(std::string_view text) {
  if (HasUnfollowedConstruct(text)) return std::nullopt;
  size_t at = 0;
  for (int depth = 0;;) {
    if (const size_t skip = ZeroWidth(text, at)) {
      at += skip;
      continue;
    }
    const size_t opening = GroupOpening(text, at);
    if (opening == 0) break;
    const size_t end = GroupEnd(text, at);
    if (end == std::string_view::npos || ++depth > kGroupDepth) return std::nullopt;
    if (end < text.size() && std::strchr("*+?{", text[end]) != nullptr) return std::nullopt;
    at += opening;
  }
  const size_t atom = OneCharacter(text, at);
  if (atom == 0) return std::nullopt;
  size_t end = at + atom;
  if (end >= text.size() || (text[end] != '*' && text[end] != '+')) return std::nullopt;
  ++end;
  if (end < text.size() && text[end] == '+') ++end;  // possessive
  if (end < text.size() && (text[end] == '?' || text[end] == '{' || text[end] == '*' || text[end] == '+')) {
    return std::nullopt;  // lazy, or a quantifier this reading does not follow
  }
  return cLeadingRepeat{at, end - at};
}

}  // namespace sysfilter
