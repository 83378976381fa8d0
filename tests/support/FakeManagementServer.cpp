#include "tests/support/FakeManagementServer.h"

namespace {
const char* const TOKEN_PREFIXES[] = {"pauth", "pserver", "pfilter"};
}

std::string cFakeManagementServer::TokenPrefix(const std::string& token) {
  size_t dash = token.rfind('-');
  if (dash == std::string::npos || dash + 1 == token.size()) return std::string();
  std::string prefix = token.substr(0, dash);
  for (const char* known : TOKEN_PREFIXES) {
    if (prefix == known) return prefix;
  }
  return std::string();
}

void cFakeManagementServer::WithholdTokens(bool withhold) { m_withholdTokens = withhold; }

cScriptedAnswer cFakeManagementServer::Answer(const cRecordedRequest& request) {
  for (const char* prefix : TOKEN_PREFIXES) {
    if (request.method == "GET" && request.path == "/" + std::string(prefix) + "/csrftoken") {
      if (m_withholdTokens) return cScriptedAnswer{200, "{\"returnCode\":\"0\"}"};
      return cScriptedAnswer{200, "{\"csrfTokenKey\":\"" + std::string(prefix) + "-" + std::to_string(++m_tokens) + "\"}"};
    }
  }
  cScriptedAnswer answer;
  if (!FindScripted(request, answer)) answer.body = "{\"returnCode\":\"0\"}";
  return answer;
}
