#pragma once
// Sockets for the raw servers of tests on 127.0.0.1.
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

// A TCP socket bound to a free port of 127.0.0.1 (close-on-exec). The socket, or -1; port
// receives the port bound.
int BindLoopback(int& port);

// Sends all of data; false once the peer has gone.
bool SendAll(int socket, const char* data, size_t length);
inline bool SendAll(int socket, const std::string& data) { return SendAll(socket, data.data(), data.size()); }

// One HTTP request read whole from a connected socket: its head and the body its Content-Length
// announces. Empty when the peer hangs up before, or once stopping (when given) is set.
std::string ReceiveRequest(int socket, const std::atomic<bool>* stopping = nullptr);
// The same through read, which puts what came into the buffer and returns its count, 0 once the
// peer has gone, or -1 when nothing came within a short wait.
using cRequestReader = std::function<ssize_t(char* buffer, size_t size)>;
std::string ReceiveRequest(const cRequestReader& read, const std::atomic<bool>* stopping);

// A port on 127.0.0.1 that takes connections into its backlog and never answers, for the
// object's life: a server that accepts a request and stays silent.
class cSilentPort {
 public:
  cSilentPort();
  ~cSilentPort();
  cSilentPort(const cSilentPort&) = delete;
  cSilentPort& operator=(const cSilentPort&) = delete;

  bool Listening() const { return m_Socket >= 0; }
  int Port() const { return m_Port; }
  // Waits at most timeoutMs for a connection to come; false when none came.
  bool AwaitConnection(int timeoutMs) const;

 private:
  int m_Socket = -1;
  int m_Port = 0;
};
