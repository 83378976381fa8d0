#include "VarloService/weblog/WebLogSvc.h"

#include <spdlog/spdlog.h>

int cWebLogSvc::Start(cAgentInfo* agentInfo) {
  if (m_Running) return 1;
  SPDLOG_INFO("{}()", "cWebLogSvc::Start");
  m_U.Begin(agentInfo, 0, 0);
  m_Running = true;
  return 0;
}

void cWebLogSvc::Stop() {
  if (!m_Running) return;
  SPDLOG_INFO("{}()", "cWebLogSvc::Stop");
  m_Running = false;
  m_U.Close();
  for (cPendingSlot* slot : {&m_PendingMask, &m_PendingWebFilter, &m_PendingWaf, &m_PendingUploadExcept}) {
    slot->Set(nullptr);
  }
}

int cWebLogSvc::Print() {
  SPDLOG_INFO("WebLogSvc>");
  SPDLOG_INFO(" Cursor={}", m_Cursor.load());
  SPDLOG_INFO(" m_U.Lines()={}", m_U.Lines());
  SPDLOG_INFO(" m_U.Time()={}", m_U.Time());
  SPDLOG_INFO(" m_U.OK()={}", m_U.OK());
  SPDLOG_INFO(" m_U.Error()={}", m_U.Error());
  return 0;
}
