#include "common/Sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

void Sha256(const void* data, uint64_t length, uint8_t digest[SHA256_DIGEST_BYTES]) {
  // EVP_Digest only fails on allocation failure; a wrong digest must never reach a peer.
  static const char empty = 0;
  if (EVP_Digest(length ? data : &empty, length, digest, nullptr, EVP_sha256(), nullptr) != 1) std::abort();
}

void Sha256Hex(const void* data, uint64_t length, char hex[SHA256_HEX_CHARS]) {
  static const char digits[] = "0123456789abcdef";
  uint8_t digest[SHA256_DIGEST_BYTES];
  Sha256(data, length, digest);
  for (size_t i = 0; i < SHA256_DIGEST_BYTES; ++i) {
    hex[2 * i] = digits[digest[i] >> 4];
    hex[2 * i + 1] = digits[digest[i] & 0x0F];
  }
}

std::string Sha256Hex(std::string_view data) {
  std::string hex(SHA256_HEX_CHARS, '\0');
  Sha256Hex(data.data(), data.size(), hex.data());
  return hex;
}
