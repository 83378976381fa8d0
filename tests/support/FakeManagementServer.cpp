#include "tests/support/FakeManagementServer.h"

#include <cstdint>
#include <vector>

#include "common/Base64.h"
#include "common/Compression.h"

namespace {
const char* const kTokenPrefixes[] = {"pauth", "pserver", "pfilter"};
}

std::string cFakeManagementServer::TokenPrefix(const std::string& token) {
  size_t dash = token.rfind('-');
  if (dash == std::string::npos || dash + 1 == token.size()) return std::string();
  std::string prefix = token.substr(0, dash);
  for (const char* known : kTokenPrefixes) {
    if (prefix == known) return prefix;
  }
  return std::string();
}

std::string cFakeManagementServer::Packed(const std::string& text) {
  std::vector<uint8_t> compressed;
  GzipCompress(text.data(), text.size(), compressed);
  return Base64Encode(
      std::string_view(reinterpret_cast<const char*>(compressed.data()), compressed.size()));
}

cScriptedAnswer cFakeManagementServer::Answer(const cRecordedRequest& request) {
  cScriptedAnswer answer;
  if (FindScripted(request, answer)) return answer;
  for (const char* prefix : kTokenPrefixes) {
    if (request.method == "GET" && request.path == "/" + std::string(prefix) + "/csrftoken") {
      answer.body = "{\"csrfTokenKey\":\"" + std::string(prefix) + "-" + std::to_string(++m_tokens) + "\"}";
      return answer;
    }
  }
  answer.body = "{\"returnCode\":\"0\"}";
  return answer;
}
