#pragma once
// The default logger replaced, for the life of the object, by one named "event" that writes into
// memory, so a test can see what the code under test logged, also from other threads.
#include <spdlog/spdlog.h>

#include <memory>
#include <string>

class cCapturedLog {
 public:
  cCapturedLog();
  ~cCapturedLog();
  cCapturedLog(const cCapturedLog&) = delete;
  cCapturedLog& operator=(const cCapturedLog&) = delete;

  std::string Text() const;
  bool Has(const std::string& part) const { return Text().find(part) != std::string::npos; }
  // How often part occurs in the text.
  size_t Count(const std::string& part) const;

 private:
  class cMemorySink;
  std::shared_ptr<cMemorySink> m_Sink;
  std::shared_ptr<spdlog::logger> m_Previous;
};
