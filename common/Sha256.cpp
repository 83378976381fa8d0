#include "common/Sha256.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

namespace {

// Fetched once: a digest named by EVP_sha256() is looked up again at every use.
const EVP_MD* Sha256Algorithm() {
  static const EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return algorithm;
}

}  // namespace

void Sha256(const void* data, uint64_t length, uint8_t digest[SHA256_DIGEST_BYTES]) {
  // One context per thread, kept for the next digest. The calls only fail when memory runs out; a
  // wrong digest must never reach a peer.
  thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                                     &EVP_MD_CTX_free);
  const EVP_MD* algorithm = Sha256Algorithm();
  if (!context || !algorithm || EVP_DigestInit_ex2(context.get(), algorithm, nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data, length) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, nullptr) != 1) {
    std::abort();
  }
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
