#pragma once
// The web-log collector's state as the service drives it: started and stopped, rule lists
// handed over, status lines. Following the web-server module's hourly files waits for its own
// worker.
#include <jansson.h>

#include <atomic>
#include <cstdint>

#include "VarloService/server/LogUploader.h"
#include "VarloService/weblog/PendingSlot.h"

class cAgentInfo;

class cWebLogSvc {
 public:
  cWebLogSvc() = default;
  ~cWebLogSvc() { Stop(); }
  cWebLogSvc(const cWebLogSvc&) = delete;
  cWebLogSvc& operator=(const cWebLogSvc&) = delete;

  // 1 when already running; 0 started.
  int Start(cAgentInfo* agentInfo);
  // Nothing when not running; unsent records and pending lists are dropped.
  void Stop();
  bool Running() const { return m_Running.load(); }

  // Each takes over the value's reference; a value not taken yet is replaced.
  void SetLogMask(json_t* list) { m_PendingMask.Set(list); }
  void SetWebFilter(json_t* list) { m_PendingWebFilter.Set(list); }
  void SetWafExcept(json_t* list) { m_PendingWaf.Set(list); }
  void SetUploadExcept(json_t* list) { m_PendingUploadExcept.Set(list); }

  // The status lines (always 0).
  int Print();

 private:
  cLogUploader m_U;
  std::atomic<bool> m_Running{false};
  cPendingSlot m_PendingMask;
  cPendingSlot m_PendingWebFilter;
  cPendingSlot m_PendingWaf;
  cPendingSlot m_PendingUploadExcept;
  std::atomic<int32_t> m_Cursor{0};
};
