#pragma once
// How often a part stands in a text (a log, an answer), overlapping runs counted.
#include <cstddef>
#include <string>

inline size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}
