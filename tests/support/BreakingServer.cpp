#include "tests/support/BreakingServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/TestCertificateAuthority.h"

namespace {

constexpr int kPollMs = 50;

// One accepted connection, plain or over TLS.
class cServed {
 public:
  cServed(int socket, SSL_CTX* tls) : m_Socket(socket) {
    if (!tls) return;
    // Reads over TLS wait a short while at a time, so a stop is seen.
    const timeval wait{0, kPollMs * 1000};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    m_Tls = SSL_new(tls);
    SSL_set_fd(m_Tls, socket);
  }
  ~cServed() {
    if (m_Tls) SSL_free(m_Tls);
    close(m_Socket);
  }
  cServed(const cServed&) = delete;
  cServed& operator=(const cServed&) = delete;

  std::string ReceiveRequest(const std::atomic<bool>& stopping) {
    if (!m_Tls) return ::ReceiveRequest(m_Socket, &stopping);
    while (!m_Handshaken && !stopping) {
      const int accepted = SSL_accept(m_Tls);
      if (accepted != 1 && SSL_get_error(m_Tls, accepted) != SSL_ERROR_WANT_READ) return {};
      m_Handshaken = accepted == 1;
    }
    return ::ReceiveRequest(
        [this](char* buffer, size_t size) -> ssize_t {
          const int count = SSL_read(m_Tls, buffer, static_cast<int>(size));
          if (count > 0) return count;
          return SSL_get_error(m_Tls, count) == SSL_ERROR_WANT_READ ? -1 : 0;
        },
        &stopping);
  }
  bool Send(const std::string& data) {
    if (!m_Tls) return SendAll(m_Socket, data);
    return SSL_write(m_Tls, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
  }
  // The end of the connection: a reset, or its orderly end (over TLS with close_notify first).
  void End(bool reset) {
    if (reset) {
      const linger abort{1, 0};  // closing sends a reset, not the end of the stream
      setsockopt(m_Socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else if (m_Tls) {
      SSL_shutdown(m_Tls);
    }
  }

 private:
  int m_Socket;
  SSL* m_Tls = nullptr;
  bool m_Handshaken = false;
};

}  // namespace

cBreakingServer::cBreakingServer(std::vector<eAct> acts, std::string answerBody,
                                 const cTestCertificateAuthority* authority)
    : m_Acts(std::move(acts)), m_AnswerBody(std::move(answerBody)) {
  if (authority) {
    m_Tls = SSL_CTX_new(TLS_server_method());
    if (!m_Tls || SSL_CTX_use_certificate_chain_file(m_Tls, authority->ServerCertificateFile().c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_Tls, authority->ServerKeyFile().c_str(), SSL_FILETYPE_PEM) != 1)
      return;
  }
  m_Listener = BindLoopback(m_Port);
  if (m_Listener >= 0 && listen(m_Listener, 16) != 0) {
    close(m_Listener);
    m_Listener = -1;
  }
  if (m_Listener < 0) return;
  m_Acceptor = std::thread([this] {
    while (!m_Stopping) {
      pollfd waiting{m_Listener, POLLIN, 0};
      if (poll(&waiting, 1, kPollMs) <= 0) continue;
      const int client = accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++m_Connections;
      std::lock_guard<std::mutex> guard(m_Lock);
      m_Served.emplace_back([this, client] { Serve(client); });
    }
  });
}

cBreakingServer::~cBreakingServer() {
  m_Stopping = true;
  if (m_Acceptor.joinable()) m_Acceptor.join();
  for (std::thread& served : m_Served) served.join();
  if (m_Listener >= 0) close(m_Listener);
  SSL_CTX_free(m_Tls);
}

std::vector<std::string> cBreakingServer::Requests() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Requests;
}

cBreakingServer::eAct cBreakingServer::NextAct() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Acts[std::min(m_ActsUsed++, m_Acts.size() - 1)];
}

std::string cBreakingServer::Answer(eAct act) const {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                           std::to_string(m_AnswerBody.size()) + "\r\n\r\n";
  switch (act) {
    case eAct::Answer: return head + m_AnswerBody;
    case eAct::CutStatusLine: return "HTTP/1.1 20";
    case eAct::HalfHead: return "HTTP/1.1 200 OK\r\nContent-Le";
    case eAct::CutBody: return head + m_AnswerBody.substr(0, m_AnswerBody.size() / 2);
    case eAct::Reset:
    case eAct::Hangup: break;
  }
  return {};
}

void cBreakingServer::Serve(int client) {
  cServed connection(client, m_Tls);
  for (;;) {
    const std::string request = connection.ReceiveRequest(m_Stopping);
    if (request.empty()) return;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      m_Requests.push_back(request);
    }
    const eAct act = NextAct();
    const std::string answer = Answer(act);
    if (!answer.empty() && !connection.Send(answer)) return;
    if (act != eAct::Answer) {
      connection.End(act == eAct::Reset);
      return;
    }
  }
}
