#include "VarloService/server/RecordWriter.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

enum eByteKind : uint8_t { kPlain, kEscaped, kMultiByte };

// How each byte of a string stands in its JSON text.
constexpr std::array<uint8_t, 256> MakeByteKinds() {
  std::array<uint8_t, 256> kinds{};
  for (int byte = 0; byte < 256; ++byte) {
    kinds[byte] = byte < 0x20 || byte == '"' || byte == '\\' ? kEscaped
                  : byte >= 0x80                             ? kMultiByte
                                                             : kPlain;
  }
  return kinds;
}
constexpr std::array<uint8_t, 256> kByteKinds = MakeByteKinds();

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "bytes are read eight at a time");
constexpr uint64_t kEachByte = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

// Of eight bytes, those that are not plain (below 0x20, '"', '\\', or 0x80 and above) have their
// high bit set; above the first of them a plain byte may be marked too.
uint64_t NotPlain(uint64_t bytes) {
  const auto zero = [](uint64_t value) { return (value - kEachByte) & ~value & kHighBits; };
  const uint64_t below20 = (bytes - kEachByte * 0x20) & ~bytes & kHighBits;
  return below20 | zero(bytes ^ (kEachByte * '"')) | zero(bytes ^ (kEachByte * '\\')) |
         (bytes & kHighBits);
}

// The length of the well-formed UTF-8 sequence at text (no overlong form, no surrogate, nothing
// above U+10FFFF), or 0.
size_t SequenceLength(const unsigned char* text, const unsigned char* end) {
  const unsigned char lead = *text;
  size_t length;
  uint32_t value;
  if (lead >= 0xC2 && lead < 0xE0) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    length = 4, value = lead & 0x07;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - text) < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
    value = value << 6 | (text[i] & 0x3F);
  }
  const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
  const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
  return overlong || surrogate || value > 0x10FFFF ? 0 : length;
}

// The escape of a byte of kind kEscaped.
std::string_view Escape(unsigned char byte, char (&code)[6]) {
  switch (byte) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default: {
      static const char kHex[] = "0123456789ABCDEF";
      std::memcpy(code, "\\u00", 4);
      code[4] = kHex[byte >> 4];
      code[5] = kHex[byte & 0x0F];
      return std::string_view(code, 6);
    }
  }
}

}  // namespace

bool cRecordWriter::PutString(std::string_view text) {
  Put('"');
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const unsigned char* run = begin;  // bytes that stand as they are, not yet put
  for (const unsigned char* at = begin; at < end;) {
    // Plain text passes eight bytes at a time, up to the first byte that is not plain (the
    // lowest byte of a little-endian load comes first).
    if (end - at >= 8) {
      uint64_t bytes;
      std::memcpy(&bytes, at, sizeof bytes);
      const uint64_t notPlain = NotPlain(bytes);
      if (!notPlain) {
        at += sizeof bytes;
        continue;
      }
      at += __builtin_ctzll(notPlain) / 8;
    }
    switch (kByteKinds[*at]) {
      case kPlain:
        ++at;
        break;
      case kMultiByte: {
        const size_t length = SequenceLength(at, end);
        if (length == 0) return false;
        at += length;
        break;
      }
      default: {
        Put(std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(at - run)));
        char code[6];
        Put(Escape(*at, code));
        run = ++at;
      }
    }
  }
  Put(std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(end - run)));
  Put('"');
  return true;
}

bool cRecordWriter::PutJson(const json_t* value) {
  if (!value) return false;
  switch (json_typeof(value)) {
    case JSON_OBJECT: {
      json_t* object = const_cast<json_t*>(value);
      Put('{');
      for (void* member = json_object_iter(object); member;) {
        if (!PutString(
                std::string_view(json_object_iter_key(member), json_object_iter_key_len(member)))) {
          return false;
        }
        Put(':');
        if (!PutJson(json_object_iter_value(member))) return false;
        member = json_object_iter_next(object, member);
        if (member) Put(',');
      }
      Put('}');
      return true;
    }
    case JSON_ARRAY: {
      Put('[');
      size_t index;
      json_t* element;
      json_array_foreach(value, index, element) {
        if (index) Put(',');
        if (!PutJson(element)) return false;
      }
      Put(']');
      return true;
    }
    case JSON_STRING:
      return PutString(std::string_view(json_string_value(value), json_string_length(value)));
    case JSON_INTEGER: {
      char digits[24];
      Put(std::string_view(
          digits,
          std::to_chars(digits, digits + sizeof digits, json_integer_value(value)).ptr - digits));
      return true;
    }
    case JSON_TRUE:
      Put("true");
      return true;
    case JSON_FALSE:
      Put("false");
      return true;
    case JSON_NULL:
      Put("null");
      return true;
    default: {
      // A real, in the library's own digits.
      const size_t left = Left();
      const size_t length = json_dumpb(value, left ? m_Out + m_Length : nullptr, left,
                                       JSON_COMPACT | JSON_ENCODE_ANY);
      if (length == 0) return false;
      m_Length += length;
      return true;
    }
  }
}
