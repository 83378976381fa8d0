#pragma once
// The management server as the agent sees it: a fresh CSRF token for every GET of
// "/pauth/csrftoken", "/pserver/csrftoken" and "/pfilter/csrftoken" (the text "<prefix>-<n>", for
// example "pserver-3"), and for every other request the scripted answer, or {"returnCode":"0"}.
#include <atomic>
#include <string>

#include "tests/support/FakeHttpServer.h"

class cFakeManagementServer : public cFakeHttpServer {
 public:
  using cFakeHttpServer::cFakeHttpServer;

  // The prefix a token was issued for ("pauth", "pserver", "pfilter"), empty when it was never issued.
  static std::string TokenPrefix(const std::string& token);
  // Answer token requests without "csrfTokenKey" (true) or normally (false).
  void WithholdTokens(bool withhold);

 protected:
  cScriptedAnswer Answer(const cRecordedRequest& request) override;

 private:
  int m_tokens = 0;
  std::atomic<bool> m_withholdTokens{false};
};
