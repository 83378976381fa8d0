// What the server sends as base64 of a compressed stream (scripts, reference lists), and the
// encodings of the upload batches.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "common/Base64.h"
#include "common/Compression.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"

namespace {

constexpr uint8_t kUntouched = 0xA5;

std::string Decoded(const char* text, size_t length) {
  // A capacity of the text's length is always enough.
  std::vector<uint8_t> bytes(length);
  uint64_t written = bytes.size();
  Require(Base64Decode(text, static_cast<int32_t>(length), bytes.data(), written) == 0);
  Require(written <= length);
  return std::string(reinterpret_cast<const char*>(bytes.data()), written);
}

// The inflated bytes; empty on a failure.
std::string Inflated(const std::string& compressed) {
  std::string out;
  const uint32_t total = Inflate(compressed.data(), static_cast<uint32_t>(compressed.size()),
                                 [&out](const uint8_t* chunk, size_t length) {
                                   out.append(reinterpret_cast<const char*>(chunk), length);
                                   return true;
                                 });
  if (total == 0) return std::string();
  Require(total == out.size());
  return out;
}

}  // namespace

int FuzzBase64Inflate(const uint8_t* data, size_t size) {
  if (size > INT_MAX) return 0;
  const char* text = reinterpret_cast<const char*>(data);
  const std::string decoded = Decoded(text, size);

  // One byte less room than needed is refused and nothing is written.
  if (!decoded.empty()) {
    std::vector<uint8_t> small(decoded.size() - 1, kUntouched);
    uint64_t room = small.size();
    Require(Base64Decode(text, static_cast<int32_t>(size), small.data(), room) == -2);
    for (uint8_t byte : small) Require(byte == kUntouched);
  }
  Inflated(decoded);

  // Both encodings give back what they were given.
  const std::string input(Bytes(data, size));
  const std::string encoded = Base64Encode(input);
  Require(encoded.size() == Base64EncodedLength(size));
  Require(Decoded(encoded.data(), encoded.size()) == input);
  std::vector<uint8_t> compressed;
  Require(GzipCompress(data, size, compressed) == 0);
  Require(Inflated(std::string(compressed.begin(), compressed.end())) == input);
  return 0;
}
