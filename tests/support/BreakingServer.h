#pragma once
// A raw HTTP server on 127.0.0.1, plain or over TLS, that breaks its answers on cue: each request
// it reads whole is met by the next act of its script (the last one repeats): a whole answer on a
// connection kept open, or one of the ways a server or the network breaks off. For what a client
// does then. Over TLS a connection it ends on purpose ends with a close_notify alert.
#include <openssl/ssl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class cTestCertificateAuthority;

class cBreakingServer {
 public:
  enum class eAct {
    Answer,         // the whole answer; the connection stays open
    Reset,          // a reset before any byte of an answer
    Hangup,         // the end of the connection before any byte of an answer
    CutStatusLine,  // "HTTP/1.1 20", then the end of the connection
    HalfHead,       // the status line and part of a header, then the end
    CutBody,        // the head and part of the body it announces, then the end
  };

  // answerBody: the JSON body of a whole answer. authority: TLS with its server certificate, or
  // null for plain HTTP.
  cBreakingServer(std::vector<eAct> acts, std::string answerBody, const cTestCertificateAuthority* authority = nullptr);
  ~cBreakingServer();
  cBreakingServer(const cBreakingServer&) = delete;
  cBreakingServer& operator=(const cBreakingServer&) = delete;

  bool Valid() const { return m_Listener >= 0; }
  int Port() const { return m_Port; }
  // The requests read whole so far, head and body, in order.
  std::vector<std::string> Requests() const;
  size_t Connections() const { return m_Connections; }

 private:
  void Serve(int client);
  eAct NextAct();
  std::string Answer(eAct act) const;

  const std::vector<eAct> m_Acts;
  const std::string m_AnswerBody;
  SSL_CTX* m_Tls = nullptr;
  int m_Listener = -1;
  int m_Port = 0;
  std::atomic<bool> m_Stopping{false};
  std::atomic<size_t> m_Connections{0};
  std::thread m_Acceptor;
  mutable std::mutex m_Lock;  // the three below
  std::vector<std::thread> m_Served;
  std::vector<std::string> m_Requests;
  size_t m_ActsUsed = 0;
};
