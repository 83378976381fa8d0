#include "common/Log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>

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

std::string ForLog(std::string_view text) {
  size_t kept = std::min(text.size(), kLoggedTextBytes);
  // A cut falls before a UTF-8 sequence, not inside it.
  if (kept < text.size()) {
    while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) --kept;
  }
  std::string logged;
  logged.reserve(kept + 32);
  for (char c : text.substr(0, kept)) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      logged += "\\n";
    } else if (c == '\r') {
      logged += "\\r";
    } else if (c == '\t') {
      logged += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      logged += escape;
    } else {
      logged += c;
    }
  }
  if (kept < text.size()) logged += "... (" + std::to_string(text.size()) + " bytes)";
  return logged;
}
