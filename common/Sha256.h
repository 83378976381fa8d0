#pragma once
// SHA-256 digests: 32 raw bytes, or 64 lowercase hexadecimal characters.
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t SHA256_DIGEST_BYTES = 32;
constexpr size_t SHA256_HEX_CHARS = 64;

void Sha256(const void* data, uint64_t length, uint8_t digest[SHA256_DIGEST_BYTES]);
// Writes exactly 64 characters and no NUL.
void Sha256Hex(const void* data, uint64_t length, char hex[SHA256_HEX_CHARS]);
std::string Sha256Hex(std::string_view data);
