#include "common/Base64.h"

#include <array>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotInAlphabet = 0xFF;

std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table;
  table.fill(kNotInAlphabet);
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}

const std::array<uint8_t, 256> kDecode = MakeDecodeTable();

// Walks the alphabet characters of the text, calling sink with each 6-bit value.
template <class Sink>
void ForEachSextet(const char* text, int32_t textLength, Sink sink) {
  uint64_t inGroup = 0;
  for (int32_t i = 0; i < textLength; ++i) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    if (c == 0 && inGroup % 4 == 0) return;
    if (kDecode[c] == kNotInAlphabet) continue;
    sink(kDecode[c]);
    ++inGroup;
  }
}

}  // namespace

uint64_t Base64EncodedLength(uint64_t n) { return (n + 2) / 3 * 4; }

int Base64Encode(const void* data, uint64_t length, char* dest, uint64_t& destLength) {
  const uint64_t needed = Base64EncodedLength(length);
  if (destLength < needed) return -1;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  char* out = dest;
  uint64_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t triple = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    *out++ = kAlphabet[(triple >> 18) & 0x3F];
    *out++ = kAlphabet[(triple >> 12) & 0x3F];
    *out++ = kAlphabet[(triple >> 6) & 0x3F];
    *out++ = kAlphabet[triple & 0x3F];
  }
  if (i < length) {
    const bool two = i + 1 < length;
    const uint32_t triple = (in[i] << 16) | (two ? in[i + 1] << 8 : 0);
    *out++ = kAlphabet[(triple >> 18) & 0x3F];
    *out++ = kAlphabet[(triple >> 12) & 0x3F];
    *out++ = two ? kAlphabet[(triple >> 6) & 0x3F] : '=';
    *out++ = '=';
  }
  destLength = needed;
  return 0;
}

std::string Base64Encode(std::string_view data) {
  std::string text(Base64EncodedLength(data.size()), '\0');
  uint64_t length = text.size();
  Base64Encode(data.data(), data.size(), text.data(), length);
  return text;
}

int Base64Decode(const char* text, int32_t textLength, uint8_t* dest, uint64_t& destLength) {
  if (!text || textLength < 0) return -1;
  uint64_t sextets = 0;
  ForEachSextet(text, textLength, [&](uint8_t) { ++sextets; });
  const uint64_t needed = sextets / 4 * 3 + (sextets % 4 == 0 ? 0 : sextets % 4 - 1);
  if (needed > destLength) return -2;

  uint64_t written = 0;
  uint32_t bits = 0;
  int bitCount = 0;
  ForEachSextet(text, textLength, [&](uint8_t value) {
    bits = (bits << 6) | value;
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      dest[written++] = static_cast<uint8_t>(bits >> bitCount);
      bits &= (1u << bitCount) - 1;
    }
  });
  destLength = written;
  return 0;
}
