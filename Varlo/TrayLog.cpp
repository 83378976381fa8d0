#include "Varlo/TrayLog.h"

#include <spdlog/spdlog.h>

#include "common/Log.h"

int InitLog(const char* title) {
  InitFileLog(kTrayLogPath);
  SPDLOG_INFO("- {} 1 ----", title);
  SPDLOG_INFO("info");
  SPDLOG_WARN("warn");
  SPDLOG_ERROR("error");
  SPDLOG_CRITICAL("critical");
  return 0;
}
