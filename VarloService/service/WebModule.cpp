// The service's side of the web-server module: the server's update and removal jobs, and the
// filter file the module reads.
#include <spdlog/spdlog.h>

#include "VarloService/modvarlo/WebFilterFile.h"
#include "VarloService/service/Jobs.h"
#include "VarloService/service/VarloService.h"

namespace {

// cApi::WebFilter's whole web-extends filter list, of every filter type.
constexpr int32_t kWebFilterFileList = 2;

}  // namespace

int cVarloService::ModVarloUpdate() {
  int32_t jobId = 0;
  m_Api.ModVarloUpdate(jobId);
  SPDLOG_INFO("m_Api.ModVarloUpdate()={}", jobId);
  const int result = m_ModVarlo.Install();
  if (result > 0) m_Api.ModVarloInfo(m_ModVarlo.TypeName(), m_ModVarlo.m_Version);
  m_Api.ModVarloUpdateResult(jobId, result < 0 ? "40" : "30");
  return result;
}

int cVarloService::ModVarloUninstall() {
  int result = 0;
  if (m_ModVarlo.m_Stat != cModVarlo::StatRegistered) {
    m_ModVarlo.CheckStat();
  } else {
    m_ModVarlo.UninstallWebMod(0);
    m_ModVarlo.UninstallWebMod(1);
    m_ModVarlo.CheckStat();
    m_Api.ModVarloInfo(m_ModVarlo.TypeName(), m_ModVarlo.m_Version);
    result = 1;
  }
  // Without a session the call sends nothing.
  m_Api.Call(cApi::VerbPut, L"/pserver/agent/modvarlostatus", nullptr);
  if (LogConfWeb(0) >= 1) m_Api.SetServerFlag(kWebLog, 0);
  return result;
}

int cVarloService::UpdateWebFilterFile() {
  if (m_ModVarlo.m_Stat < cModVarlo::StatFiles) return 0;
  json_t* list = nullptr;
  const int fetched = m_Api.WebFilter(kWebFilterFileList, list);
  if (fetched != 0) return fetched;
  WriteWebFilterFile(list);
  json_decref(list);
  return 0;
}
