#include "common/SafeName.h"

bool IsSafeRelativeName(std::string_view name) {
  if (name.empty() || name.front() == '\\' || name.front() == '/') return false;
  if (name.find_first_of("<>:\"|?*") != std::string_view::npos) return false;
  for (unsigned char c : name) {
    if (c < 0x20) return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}
