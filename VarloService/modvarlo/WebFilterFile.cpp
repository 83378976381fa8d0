#include "VarloService/modvarlo/WebFilterFile.h"

#include <spdlog/spdlog.h>

#include <cstdlib>
#include <cstring>

#include "common/Log.h"
#include "platform/Files.h"

void StoredDigest(const std::string& path, uint8_t digest[SHA256_DIGEST_BYTES]) {
  std::memset(digest, 0, SHA256_DIGEST_BYTES);
  platform::cInputFile file(path, std::ios::binary);
  if (!file.is_open()) return;
  uint8_t stored[SHA256_DIGEST_BYTES];
  file.seekg(-static_cast<std::streamoff>(SHA256_DIGEST_BYTES), std::ios::end);
  if (file.read(reinterpret_cast<char*>(stored), SHA256_DIGEST_BYTES)) {
    std::memcpy(digest, stored, SHA256_DIGEST_BYTES);
  }
}

int UpdateFileWithHash(const std::string& path, const char* text,
                       uint8_t digest[SHA256_DIGEST_BYTES]) {
  const std::string content = text ? text : "[]";
  SPDLOG_INFO("WebExtFilter[{}]={}", content.size(), ForLog(content));
  uint8_t computed[SHA256_DIGEST_BYTES] = {};
  if (!content.empty()) Sha256(content.data(), content.size(), computed);
  if (std::memcmp(computed, digest, SHA256_DIGEST_BYTES) == 0) return 0;
  std::memcpy(digest, computed, SHA256_DIGEST_BYTES);
  if (content.empty()) {
    platform::DeletePath(path);
    return 1;
  }
  // Through a temporary file, so the module never reads half a list.
  const std::string bytes =
      content + std::string(reinterpret_cast<const char*>(digest), SHA256_DIGEST_BYTES);
  return platform::WriteFileAtomically(path, bytes) ? 1 : -1;
}

int WriteWebFilterFile(const json_t* list) {
  char* text = list ? json_dumps(list, JSON_COMPACT | JSON_SORT_KEYS) : nullptr;
  uint8_t digest[SHA256_DIGEST_BYTES];
  StoredDigest(kWebFilterFile, digest);
  const int result = UpdateFileWithHash(kWebFilterFile, text, digest);
  std::free(text);
  return result;
}
