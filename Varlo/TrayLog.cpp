#include "Varlo/TrayLog.h"

#include "common/Log.h"

int InitLog(const char* title) {
  InitFileLog(kTrayLogPath);
  TRAY_LOG(kLogVarlo, info, "- {} 1 ----", title);
  TRAY_LOG(kLogVarlo, info, "info");
  TRAY_LOG(kLogVarlo, warn, "warn");
  TRAY_LOG(kLogVarlo, err, "error");
  TRAY_LOG(kLogVarlo, critical, "critical");
  return 0;
}
