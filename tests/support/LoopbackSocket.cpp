#include "tests/support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int BindLoopback(int& port) {
  int bound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bound < 0) return -1;
  if (bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(bound);
    return -1;
  }
  port = ntohs(address.sin_port);
  return bound;
}

cSilentPort::cSilentPort() {
  m_Socket = BindLoopback(m_Port);
  if (m_Socket >= 0 && listen(m_Socket, 4) != 0) {
    close(m_Socket);
    m_Socket = -1;
  }
}

cSilentPort::~cSilentPort() {
  if (m_Socket >= 0) close(m_Socket);
}

bool cSilentPort::AwaitConnection(int timeoutMs) const {
  pollfd waiting{m_Socket, POLLIN, 0};
  return poll(&waiting, 1, timeoutMs) == 1;
}
