// Start-up of the service object, between the start-pending and the running reports.
#include <spdlog/spdlog.h>

#include <string>
#include <vector>

#include "VarloService/actions/Uilt.h"
#include "VarloService/service/VarloService.h"
#include "common/InstallLayout.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/Environment.h"

int cVarloService::Init() {
  // Before the log, whose file is in one of them.
  const std::vector<std::string> unmade = MakeInstallFolders(m_AgentInfo.m_InstallDir);
  InitLog();
  for (const std::string& failure : unmade) SPDLOG_ERROR("{}", failure);
  SPDLOG_INFO("AgentType={}", m_AgentInfo.m_AgentType);
  SetEnv();
  m_SysInfo.Init(&m_AgentInfo);
  m_UI.Open();
  m_Audit.SetPolicy(m_AgentInfo.m_InstallDir);
  m_ModVarlo.CheckStat();
  m_Api.ModVarloInfo(m_ModVarlo.TypeName(), m_ModVarlo.m_Version);
  m_Api.SetAgentInfo(&m_AgentInfo);
  m_Repo.SetAgentInfo(&m_AgentInfo);

  uint32_t status = static_cast<uint32_t>(m_Status);
  uint32_t autoUpdate = static_cast<uint32_t>(m_AutoUpdate);
  uint32_t channelMask = 0xFFFFFFFF;
  {
    NvmVarlo settings(1);
    settings.GetDword(NvmVarlo::Status, status);
    settings.GetDword(NvmVarlo::AutoUpdate, autoUpdate);
    settings.GetDword(NvmVarlo::EventChannelMask, channelMask);
  }
  m_Status = static_cast<int32_t>(status);
  m_AutoUpdate = static_cast<int32_t>(autoUpdate);
  SPDLOG_INFO("SVC Stat={}", m_Status);
  m_EvtLogSvc.SetChannelMask(channelMask);

  if (m_Status > 0) {
    // A failed sign-in then leaves 1 behind, not the 2 of the last run.
    if (m_Status != 1) {
      m_Status = 1;
      StoreStatus();
    }
    Login();
  }
  LaunchUserApp();
  return 0;
}

int cVarloService::InitLog() {
  const std::string path = m_AgentInfo.m_InstallDir + "\\" + kLogSubFolder + "\\event.log";
  InitFileLog(path);
  m_EvtLogSvc.Relay().Open(0, path.c_str());
  m_EvtLogSvc.Relay().AddPending("VARLO Service");
  SPDLOG_INFO("- VARLO Service v{} ----", m_Version);
  return 0;
}

int cVarloService::SetEnv() {
  std::string path = m_AgentInfo.m_InstallDir;
  DWORD length = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (length > 0) {
    std::vector<char> inherited(length);
    if (GetEnvironmentVariableA("PATH", inherited.data(), length) > 0)
      path += std::string(";") + inherited.data();
  }
  SetEnvironmentVariableA("PATH", path.c_str());
  SetEnvironmentVariableA("VARLO_TEMP", m_AgentInfo.TempFolder().c_str());
  SetEnvironmentVariableA("z", "7z");
  return 0;
}

int cVarloService::LaunchUserApp() {
  int sessions = ExecUserApp(kTrayProgram, "admin", nullptr);
  SPDLOG_INFO("ExecUserApp(Varlo.exe)={}", sessions);
  return sessions;
}
