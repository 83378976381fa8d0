#include "platform/TextConv.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes one code point starting at text[i] and advances i past it.
char32_t NextUtf8(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i++);
  if (lead < 0x80) return lead;
  int extra;
  char32_t c;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07, minimum = 0x10000;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size() || (byte(i) & 0xC0) != 0x80) return kReplacement;
    c = (c << 6) | (byte(i++) & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || IsSurrogate(c)) return kReplacement;
  return c;
}

// Writes the UTF-8 bytes of c at out and returns the end of what it wrote.
char* PutUtf8(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t c) {
  char bytes[4];
  out.append(bytes, PutUtf8(bytes, c));
}

template <class Unit>
void AppendUtf16(std::basic_string<Unit>& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<Unit>(c);
  } else {
    c -= 0x10000;
    out += static_cast<Unit>(0xD800 + (c >> 10));
    out += static_cast<Unit>(0xDC00 + (c & 0x3FF));
  }
}

template <class Unit>
char32_t NextUtf16(std::basic_string_view<Unit> text, size_t& i) {
  const char32_t c = static_cast<char16_t>(text[i++]);
  if (c < 0xD800 || c > 0xDFFF) return c;
  if (c >= 0xDC00 || i >= text.size()) return kReplacement;
  const char32_t low = static_cast<char16_t>(text[i]);
  if (low < 0xDC00 || low > 0xDFFF) return kReplacement;
  ++i;
  return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
}

template <class Unit>
std::basic_string<Unit> Utf8ToUtf16As(std::string_view text) {
  std::basic_string<Unit> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) AppendUtf16(out, NextUtf8(text, i));
  return out;
}

template <class Unit>
void Utf16ToUtf8As(std::basic_string_view<Unit> text, std::string& out) {
  static_assert(sizeof(Unit) == 2, "UTF-16 units");
  // Three bytes at the most for each unit: the four of a code point come from a pair of units.
  out.resize(text.size() * 3);
  char* const begin = out.data();
  char* end = begin;
  for (size_t i = 0; i < text.size();) {
    // ASCII passes four units at a time.
    if (text.size() - i >= 4) {
      uint64_t units;
      std::memcpy(&units, text.data() + i, sizeof units);
      if ((units & 0xFF80FF80FF80FF80) == 0) {
        for (int k = 0; k < 4; ++k) *end++ = static_cast<char>(static_cast<char16_t>(text[i + k]));
        i += 4;
        continue;
      }
    }
    const char16_t unit = static_cast<char16_t>(text[i]);
    if (unit < 0x80) {
      *end++ = static_cast<char>(unit);
      ++i;
    } else {
      end = PutUtf8(end, NextUtf16(text, i));
    }
  }
  out.resize(static_cast<size_t>(end - begin));
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) { return Utf8ToUtf16As<char16_t>(text); }

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  Utf16ToUtf8As(text, out);
  return out;
}

void Utf16ToUtf8(std::u16string_view text, std::string& out) { Utf16ToUtf8As(text, out); }

std::wstring Utf8ToWide(std::string_view text) {
  if constexpr (sizeof(wchar_t) == 2) {
    return Utf8ToUtf16As<wchar_t>(text);
  } else {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) out += static_cast<wchar_t>(NextUtf8(text, i));
    return out;
  }
}

std::string WideToUtf8(std::wstring_view text) {
  if constexpr (sizeof(wchar_t) == 2) {
    std::string out;
    Utf16ToUtf8As(text, out);
    return out;
  } else {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
      const auto code = static_cast<char32_t>(c);
      AppendUtf8(out, code > 0x10FFFF || IsSurrogate(code) ? kReplacement : code);
    }
    return out;
  }
}

std::wstring WidenBytes(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (char c : bytes) out += static_cast<wchar_t>(static_cast<uint8_t>(c));
  return out;
}

std::string NarrowBytes(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out += static_cast<char>(c & 0xFF);
  return out;
}
