#include "tests/support/FakeProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/LoopbackSocket.h"

namespace {

constexpr int kPollMs = 50;

int ConnectTo(const std::string& hostPort) {
  size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(hostPort.c_str() + colon + 1)));
  std::string host = hostPort.substr(0, colon);
  if (host == "localhost") host = "127.0.0.1";
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return -1;
  int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (target >= 0 && connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(target);
    return -1;
  }
  return target;
}

}  // namespace

cFakeProxy::~cFakeProxy() { Stop(); }

bool cFakeProxy::Start() {
  m_listener = BindLoopback(m_port);
  if (m_listener < 0 || listen(m_listener, 16) != 0) return false;
  m_acceptor = std::thread([this] {
    while (!m_stopping) {
      pollfd waiting{m_listener, POLLIN, 0};
      if (poll(&waiting, 1, kPollMs) <= 0) continue;
      int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::lock_guard<std::mutex> guard(m_lock);
      m_tunnels.emplace_back([this, client] { Serve(client); });
    }
  });
  return true;
}

void cFakeProxy::Stop() {
  m_stopping = true;
  if (m_acceptor.joinable()) m_acceptor.join();
  std::vector<std::thread> tunnels;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    tunnels.swap(m_tunnels);
  }
  for (std::thread& tunnel : tunnels) tunnel.join();
  if (m_listener >= 0) close(m_listener);
  m_listener = -1;
}

std::vector<std::string> cFakeProxy::RequestLines() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requestLines;
}

void cFakeProxy::Serve(int client) {
  std::string head;
  char buffer[16384];
  while (head.find("\r\n\r\n") == std::string::npos && !m_stopping) {
    pollfd waiting{client, POLLIN, 0};
    if (poll(&waiting, 1, kPollMs) <= 0) continue;
    ssize_t received = recv(client, buffer, sizeof buffer, 0);
    if (received <= 0) break;
    head.append(buffer, static_cast<size_t>(received));
  }
  std::string line = head.substr(0, head.find("\r\n"));
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_requestLines.push_back(line);
  }
  int target = -1;
  const int refusal = m_refusal;
  if (line.rfind("CONNECT ", 0) == 0 && !refusal) target = ConnectTo(line.substr(8, line.find(' ', 8) - 8));
  if (target < 0) {
    SendAll(client, "HTTP/1.1 " + std::to_string(refusal ? refusal : 502) +
                        " Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    close(client);
    return;
  }
  const char established[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  bool open = SendAll(client, established, sizeof established - 1);
  while (open && !m_stopping) {
    pollfd ends[2] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
    if (poll(ends, 2, kPollMs) <= 0) continue;
    for (int side = 0; side < 2 && open; ++side) {
      if (!(ends[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t received = recv(ends[side].fd, buffer, sizeof buffer, 0);
      open = received > 0 && SendAll(ends[1 - side].fd, buffer, static_cast<size_t>(received));
    }
  }
  close(target);
  close(client);
}
