#pragma once
// A web proxy on 127.0.0.1 that tunnels CONNECT requests to their target and records the
// request line of every request it gets ("CONNECT 127.0.0.1:443 HTTP/1.1"). Other requests are
// recorded and answered with 502, and so is a tunnel it cannot open or, once told so, every
// tunnel with the status it is told.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class cFakeProxy {
 public:
  cFakeProxy() = default;
  ~cFakeProxy();
  cFakeProxy(const cFakeProxy&) = delete;
  cFakeProxy& operator=(const cFakeProxy&) = delete;

  bool Start();
  void Stop();
  // From now on, answers every CONNECT with this status and opens no tunnel.
  void RefuseTunnels(int status) { m_refusal = status; }
  int Port() const { return m_port; }
  // "127.0.0.1:<port>", as a proxy setting names it.
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  std::vector<std::string> RequestLines() const;

 private:
  void Serve(int client);

  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_refusal{0};
  std::thread m_acceptor;
  mutable std::mutex m_lock;
  std::vector<std::thread> m_tunnels;
  std::vector<std::string> m_requestLines;
};
