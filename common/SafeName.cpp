#include "common/SafeName.h"

#include <array>

namespace {

bool EqualsNoCase(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c =
        text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
    if (c != upper[i]) return false;
  }
  return true;
}

// Windows counts 0 and the superscript digits of its 8-bit code page as digits of a port's name.
bool IsPortDigit(std::string_view text) {
  constexpr std::array<std::string_view, 3> kSuperscripts = {"\xc2\xb9", "\xc2\xb2", "\xc2\xb3"};
  if (text.size() == 1) return text[0] >= '0' && text[0] <= '9';
  for (std::string_view superscript : kSuperscripts) {
    if (text == superscript) return true;
  }
  return false;
}

// The part before the first dot names the device, blanks before that dot included ("nul .txt").
bool IsDeviceName(std::string_view component) {
  std::string_view stem = component.substr(0, component.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsNoCase(stem, device)) return true;
  }
  if (stem.size() < 4) return false;
  const std::string_view port = stem.substr(0, 3);
  return (EqualsNoCase(port, "COM") || EqualsNoCase(port, "LPT")) && IsPortDigit(stem.substr(3));
}

bool IsSafeComponent(std::string_view component) {
  if (component == "..") return false;
  if (component == ".") return true;
  if (!component.empty() && (component.back() == '.' || component.back() == ' ')) return false;
  return !IsDeviceName(component);
}

}  // namespace

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
    if (!IsSafeComponent(name.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}
