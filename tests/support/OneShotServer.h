#pragma once
// A raw server on 127.0.0.1 for one exchange: it takes one connection, keeps the request's head
// byte for byte, sends a fixed answer and hangs up. For what a higher-level server would hide
// (header order, empty header values, answers cut short).
#include <string>
#include <thread>

class cOneShotServer {
 public:
  explicit cOneShotServer(std::string answer);
  ~cOneShotServer();
  cOneShotServer(const cOneShotServer&) = delete;
  cOneShotServer& operator=(const cOneShotServer&) = delete;

  bool Valid() const { return m_Listener >= 0; }
  int Port() const { return m_Port; }
  // The request line and headers with their final CR LF, once the exchange is over (empty when
  // nobody came within 10 s).
  std::string Head();

 private:
  int m_Listener = -1;
  int m_Port = 0;
  std::thread m_Thread;
  std::string m_Head;
};
