#pragma once
// A raw HTTP server on 127.0.0.1 that breaks its answers on cue: each request it reads whole is
// met by the next act of its script (the last one repeats): a whole answer on a connection kept
// open, a reset of the connection before any answer, or the start of an answer's head and then
// the end of the connection. For what a client does when a server or the network breaks off.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class cBreakingServer {
 public:
  enum class eAct { Answer, Reset, HalfHead };

  // answerBody: the JSON body of a whole answer.
  cBreakingServer(std::vector<eAct> acts, std::string answerBody);
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

  const std::vector<eAct> m_Acts;
  const std::string m_AnswerBody;
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
