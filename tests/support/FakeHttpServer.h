#pragma once
// A small web server on 127.0.0.1 for tests and the local demonstration: HTTPS with a certificate
// of a test authority, or plain HTTP. It records every request and answers from a scripted table;
// the fakes of the agent's servers build on it. As servers and load balancers in the field do, it
// closes a kept-alive connection once it has been idle a while (by default 2 s; over HTTPS with a
// TLS close_notify) and caps the requests on one connection (by default 5, the last answer saying
// "Connection: close").
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class cTestCertificateAuthority;

struct cRecordedRequest {
  std::string method;
  std::string target;  // raw path and query, as sent
  std::string path;    // target up to "?"
  std::string query;   // target after "?", empty without one
  std::vector<std::pair<std::string, std::string>> headers;  // by name, as the server library sorts them
  std::string body;
  std::string answer;  // the body that was sent back

  bool HasHeader(const std::string& name) const;
  // The first value of the header (names compared without regard to case), empty when missing.
  std::string Header(const std::string& name) const;
};

// A body made while it is sent, as a hostile or a slow server sends it: its head, then its unit
// over and over, either without end (chunked) or up to an announced length, and either as fast as
// the client takes it or one byte after each pause.
struct cStreamedBody {
  std::string head;
  std::string unit;
  uint64_t length = 0;  // the body's bytes, announced; 0 for a body without end
  std::chrono::milliseconds pause{0};  // before each byte after the head; 0 for as fast as the client takes it

  // The bytes from offset on, at most count of them.
  std::string Piece(uint64_t offset, size_t count) const;
};

struct cScriptedAnswer {
  using Headers = std::vector<std::pair<std::string, std::string>>;
  cScriptedAnswer() = default;
  cScriptedAnswer(int status, std::string body, std::string contentType = "application/json", Headers headers = {})
      : status(status), body(std::move(body)), contentType(std::move(contentType)), headers(std::move(headers)) {}

  // head, then unit without end, as fast as the client takes it.
  static cScriptedAnswer Endless(std::string head, std::string unit);
  // head, then unit without end, about two bytes a second.
  static cScriptedAnswer Dripping(std::string head, std::string unit);
  // head at once, then each byte of rest after pause; the body is whole and announced.
  static cScriptedAnswer Trickling(std::string head, std::string rest, std::chrono::milliseconds pause);
  // head, then unit up to length bytes, all announced and sent at once.
  static cScriptedAnswer Oversized(std::string head, std::string unit, uint64_t length);

  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  Headers headers;  // further headers ("Location", "Set-Cookie")
  std::shared_ptr<const cStreamedBody> streamed;  // in place of body when set
};

class cFakeHttpServer {
 public:
  // authority null: plain HTTP. The certificate is loaded here, so the authority may go first.
  explicit cFakeHttpServer(const cTestCertificateAuthority* authority);
  virtual ~cFakeHttpServer();
  cFakeHttpServer(const cFakeHttpServer&) = delete;
  cFakeHttpServer& operator=(const cFakeHttpServer&) = delete;

  // Before Start: how long a kept-alive connection may stay idle before the server closes it, and
  // how many requests one connection may carry.
  void LimitConnections(int idleSeconds, int requestsPerConnection);
  // Listens on a free port of 127.0.0.1 (or on port when given); false when it cannot.
  bool Start(int port = 0);
  void Stop();

  bool Secure() const { return m_secure; }
  int Port() const { return m_port; }
  // "https://127.0.0.1:<port>" or "http://127.0.0.1:<port>", then path.
  std::string Url(const std::string& path = "") const;

  // Answers for one method and path (without query), used in order; the last one repeats.
  void Script(const std::string& method, const std::string& path, std::vector<cScriptedAnswer> answers);
  void Script(const std::string& method, const std::string& path, cScriptedAnswer answer) {
    Script(method, path, std::vector<cScriptedAnswer>{std::move(answer)});
  }

  std::vector<cRecordedRequest> Requests() const;
  size_t RequestCount() const;
  void ClearRequests();

  // Connections taken so far, and those of them still open on the server's side.
  size_t AcceptedConnections() const;
  size_t OpenConnections() const;

 protected:
  // The answer to one request; by default from the scripted table, else a 404 page. Runs on the
  // server's threads, one request at a time. A class that overrides it calls Stop() in its own
  // destructor, so that no request reaches it once its members are gone.
  virtual cScriptedAnswer Answer(const cRecordedRequest& request);
  // The scripted answer for the request; false when the table has none.
  bool FindScripted(const cRecordedRequest& request, cScriptedAnswer& answer);

 private:
  struct cScript {
    std::string method;
    std::string path;
    std::vector<cScriptedAnswer> answers;
    size_t used = 0;
  };
  class cImpl;
  class cCountingQueue;

  bool m_secure;
  int m_port = 0;
  int m_idleSeconds = 2;
  int m_requestsPerConnection = 5;
  std::unique_ptr<cImpl> m_impl;
  std::mutex m_serving;       // one request at a time
  mutable std::mutex m_lock;  // the tables below
  std::vector<cScript> m_scripts;
  std::vector<cRecordedRequest> m_requests;
};
