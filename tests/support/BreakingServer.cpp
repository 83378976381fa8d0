#include "tests/support/BreakingServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/LoopbackSocket.h"

namespace {
constexpr int kPollMs = 50;
}

cBreakingServer::cBreakingServer(std::vector<eAct> acts, std::string answerBody)
    : m_Acts(std::move(acts)), m_AnswerBody(std::move(answerBody)) {
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
}

std::vector<std::string> cBreakingServer::Requests() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Requests;
}

cBreakingServer::eAct cBreakingServer::NextAct() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Acts[std::min(m_ActsUsed++, m_Acts.size() - 1)];
}

void cBreakingServer::Serve(int client) {
  for (;;) {
    const std::string request = ReceiveRequest(client, &m_Stopping);
    if (request.empty()) break;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      m_Requests.push_back(request);
    }
    const eAct act = NextAct();
    if (act == eAct::Reset) {
      const linger abort{1, 0};  // closing sends a reset, not the end of the stream
      setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      break;
    }
    const std::string answer = act == eAct::HalfHead ? "HTTP/1.1 200 OK\r\nContent-Le"
                                                     : "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                                       "Content-Length: " +
                                                           std::to_string(m_AnswerBody.size()) + "\r\n\r\n" +
                                                           m_AnswerBody;
    if (!SendAll(client, answer) || act == eAct::HalfHead) break;
  }
  close(client);
}
