#pragma once
// The upload server of the benchmarks: HTTPS on 127.0.0.1 with the test authority's certificate,
// answering every upload at once with success and keeping its connections as a real server does,
// so that what the figures hold is the roads' own work.
#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

#include "tests/support/TestCertificateAuthority.h"

class cBenchUploadServer {
 public:
  explicit cBenchUploadServer(const cTestCertificateAuthority& authority)
      : m_Server(authority.ServerCertificateFile().c_str(), authority.ServerKeyFile().c_str()) {
    m_Server.set_tcp_nodelay(
        true);  // an answer at once, not after the peer's delayed acknowledgement
    m_Server.set_keep_alive_max_count(1000000);
    for (const char* path : {"/pupload/syslog", "/pupload/weblog"}) {
      m_Server.Post(path, [](const httplib::Request&, httplib::Response& answer) {
        answer.set_content("{\"returnCode\":\"0\"}", "application/json");
      });
    }
    m_Port = m_Server.bind_to_any_port("127.0.0.1");
    m_Listener = std::thread([this] { m_Server.listen_after_bind(); });
  }
  ~cBenchUploadServer() {
    m_Server.stop();
    m_Listener.join();
  }
  cBenchUploadServer(const cBenchUploadServer&) = delete;
  cBenchUploadServer& operator=(const cBenchUploadServer&) = delete;

  std::string Url() const { return "https://127.0.0.1:" + std::to_string(m_Port) + "/"; }

 private:
  httplib::SSLServer m_Server;
  int m_Port = 0;
  std::thread m_Listener;
};
