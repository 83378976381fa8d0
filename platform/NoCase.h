#pragma once
// Windows compares names without regard to case; these fold ASCII letters only, as the
// registry and the file system of the stand-in need.
#include <string>

namespace platform {

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline std::string LowerAscii(std::string text) {
  for (char& c : text) c = LowerAscii(c);
  return text;
}

inline bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace platform
