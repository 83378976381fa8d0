#include "tests/support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

constexpr int kPollMs = 50;

// The body length a request head announces; 0 without one.
size_t ContentLength(std::string head) {
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t at = head.find("\r\ncontent-length:");
  return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
}

}  // namespace

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

bool SendAll(int socket, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

std::string ReceiveRequest(int socket, const std::atomic<bool>* stopping) {
  return ReceiveRequest(
      [socket, stopping](char* buffer, size_t size) -> ssize_t {
        if (stopping) {
          pollfd waiting{socket, POLLIN, 0};
          if (poll(&waiting, 1, kPollMs) <= 0) return -1;
        }
        return std::max<ssize_t>(recv(socket, buffer, size, 0), 0);
      },
      stopping);
}

std::string ReceiveRequest(const cRequestReader& read, const std::atomic<bool>* stopping) {
  std::string received;
  size_t total = std::string::npos;
  char buffer[16384];
  while (received.size() < total) {
    if (stopping && stopping->load()) return {};
    const ssize_t count = read(buffer, sizeof buffer);
    if (count < 0) continue;
    if (count == 0) return {};
    received.append(buffer, static_cast<size_t>(count));
    const size_t headEnd = received.find("\r\n\r\n");
    if (total == std::string::npos && headEnd != std::string::npos)
      total = headEnd + 4 + ContentLength(received.substr(0, headEnd + 2));
  }
  return received;
}
