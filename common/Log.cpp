#include "common/Log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "platform/Files.h"

namespace {

constexpr char kLoggerName[] = "event";

void MakeDefault(spdlog::sink_ptr sink) {
  auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::move(sink));
  spdlog::set_default_logger(logger);
}

void FlushEveryRecord() { spdlog::default_logger()->flush_on(spdlog::level::trace); }

}  // namespace

int InitFileLog(const std::string& windowsPath) {
  try {
    MakeDefault(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(platform::MapPath(windowsPath),
                                                                        kLogFileBytes, kLogFiles, false));
  } catch (const spdlog::spdlog_ex& error) {
    SPDLOG_ERROR("{}", error.what());
  }
  FlushEveryRecord();
  return 0;
}

void InitConsoleLog() {
  MakeDefault(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
  FlushEveryRecord();
}
