#pragma once
// What the targets share: the check of a promise, and views of the input bytes.
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// Traps, so that libFuzzer and the replay test both stop at the broken promise.
inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}

inline std::string_view Bytes(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// The input parsed as one JSON text (NUL allowed in strings, any top-level value), or null.
inline json_t* LoadJson(const uint8_t* data, size_t size) {
  return json_loadb(reinterpret_cast<const char*>(data), size, JSON_ALLOW_NUL | JSON_DECODE_ANY,
                    nullptr);
}

// A JSON string of exactly these bytes, as the access-log reader keeps them.
inline json_t* JsonBytes(std::string_view bytes) {
  return json_stringn_nocheck(bytes.data(), bytes.size());
}
