#pragma once
// The tray program's log file, and its log lines: each names its source as the program's part, the
// program ("Varlo") or its window object ("VarloWnd"), with the line and function of the call.
#include <spdlog/spdlog.h>

constexpr char kTrayLogPath[] = "C:\\Program Files\\VARLO\\logs\\event-ui.log";

constexpr char kLogVarlo[] = "Varlo";
constexpr char kLogVarloWnd[] = "VarloWnd";

// TRAY_LOG(kLogVarloWnd, info, "m_trayicon.Add={}", added)
#define TRAY_LOG(source, severity, ...)                                                    \
  spdlog::default_logger_raw()->log(spdlog::source_loc{source, __LINE__, SPDLOG_FUNCTION}, \
                                    spdlog::level::severity, __VA_ARGS__)

// Sets up the rotating log file, writes the banner with the title and the four test lines. 0.
int InitLog(const char* title);
