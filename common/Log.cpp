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

// One byte as the log shows it: itself, or the escape of a control character.
std::string_view LoggedForm(char c, char (&escape)[8]) {
  switch (c) {
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      break;
  }
  const unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte != 0x7F) {
    escape[0] = c;
    return {escape, 1};
  }
  return {escape, static_cast<size_t>(std::snprintf(escape, sizeof escape, "\\x%02x", byte))};
}

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

std::string ForLog(std::string_view text, size_t maxBytes) {
  std::string logged;
  logged.reserve(std::min(text.size(), maxBytes) + 32);
  size_t taken = 0;
  for (char escape[8]; taken < text.size(); ++taken) {
    const std::string_view form = LoggedForm(text[taken], escape);
    if (logged.size() + form.size() > maxBytes) break;
    logged += form;
  }
  if (taken == text.size()) return logged;
  // A cut falls before a UTF-8 sequence, not inside it; the bytes of a sequence went in as they are.
  while (taken > 0 && (static_cast<unsigned char>(text[taken]) & 0xC0) == 0x80) {
    --taken;
    logged.pop_back();
  }
  return logged + "... (" + std::to_string(text.size()) + " bytes)";
}
