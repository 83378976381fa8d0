#include "tests/support/OneShotServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/LoopbackSocket.h"

namespace {
constexpr int kWaitMs = 10000;
}

cOneShotServer::cOneShotServer(std::string answer) {
  m_Listener = BindLoopback(m_Port);
  if (m_Listener >= 0 && listen(m_Listener, 1) != 0) {
    close(m_Listener);
    m_Listener = -1;
  }
  if (m_Listener < 0) return;
  m_Thread = std::thread([this, answer] {
    pollfd waiting{m_Listener, POLLIN, 0};
    if (poll(&waiting, 1, kWaitMs) <= 0) return;
    int client = accept(m_Listener, nullptr, nullptr);
    if (client < 0) return;
    m_Head = ReceiveRequest(client);
    SendAll(client, answer);
    close(client);
  });
}

cOneShotServer::~cOneShotServer() {
  if (m_Thread.joinable()) m_Thread.join();
  if (m_Listener >= 0) close(m_Listener);
}

std::string cOneShotServer::Head() {
  if (m_Thread.joinable()) m_Thread.join();
  size_t end = m_Head.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : m_Head.substr(0, end + 2);
}
