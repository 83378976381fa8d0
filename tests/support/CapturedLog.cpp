#include "tests/support/CapturedLog.h"

#include <spdlog/sinks/base_sink.h>

#include <mutex>

class cCapturedLog::cMemorySink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::string Text() {
    std::lock_guard<std::mutex> guard(mutex_);
    return m_Text;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(message, formatted);
    m_Text.append(formatted.data(), formatted.size());
  }
  void flush_() override {}

 private:
  std::string m_Text;
};

cCapturedLog::cCapturedLog() : m_Sink(std::make_shared<cMemorySink>()), m_Previous(spdlog::default_logger()) {
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("event", m_Sink));
}

cCapturedLog::~cCapturedLog() { spdlog::set_default_logger(m_Previous); }

std::string cCapturedLog::Text() const { return m_Sink->Text(); }

size_t cCapturedLog::Count(const std::string& part) const {
  const std::string text = Text();
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}
