#pragma once
// Base64 of RFC 4648: standard alphabet, "=" padding, no line breaks.
#include <cstdint>
#include <string>
#include <string_view>

// Characters needed to encode n bytes: 4 * ceil(n / 3).
uint64_t Base64EncodedLength(uint64_t n);

// 0, with destLength set to the characters written (no NUL); -1 and nothing written when
// destLength (the destination's capacity on entry) is below Base64EncodedLength(length).
int Base64Encode(const void* data, uint64_t length, char* dest, uint64_t& destLength);
std::string Base64Encode(std::string_view data);

// Decodes up to textLength characters, or up to a NUL where a new group would begin. Characters
// outside the alphabet ("=", line ends, blanks, anything else) are skipped. A trailing group of
// 3 characters gives 2 bytes, of 2 gives 1, of 1 gives nothing. destLength is the capacity on entry
// and the bytes written on return; a capacity of textLength is always enough.
// 0; -1 no text (null or negative length); -2 destination too small, nothing written.
int Base64Decode(const char* text, int32_t textLength, uint8_t* dest, uint64_t& destLength);
