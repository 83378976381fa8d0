#pragma once
// The management server as the agent sees it: for every request the scripted answer when the
// table has one; otherwise a fresh CSRF token for every GET of "/pauth/csrftoken",
// "/pserver/csrftoken" and "/pfilter/csrftoken" (the text "<prefix>-<n>", for example
// "pserver-3"), and {"returnCode":"0"} for everything else.
#include <string>

#include "tests/support/FakeHttpServer.h"

class cFakeManagementServer : public cFakeHttpServer {
 public:
  using cFakeHttpServer::cFakeHttpServer;
  ~cFakeManagementServer() override { Stop(); }

  // The prefix a token names ("pauth", "pserver", "pfilter"); empty for any other text.
  static std::string TokenPrefix(const std::string& token);
  // base64 of a gzip stream of text, as the server sends scripts and reference lists.
  static std::string Packed(const std::string& text);

 protected:
  cScriptedAnswer Answer(const cRecordedRequest& request) override;

 private:
  int m_tokens = 0;
};
