// The service's side of the web-server module: updating and removing it, and the filter file it
// reads. Downloads, the server's module job report and the filter file wait for their own work.
#include <spdlog/spdlog.h>

#include "VarloService/service/VarloService.h"

int cVarloService::ModVarloUpdate() {
  int result = m_ModVarlo.Install();
  if (result > 0) m_Api.ModVarloInfo(m_ModVarlo.TypeName(), m_ModVarlo.m_Version);
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
  if (LogConfWeb(0) >= 1) m_Api.SetServerFlag(1, 0);
  return result;
}

int cVarloService::UpdateWebFilterFile() { return 0; }
