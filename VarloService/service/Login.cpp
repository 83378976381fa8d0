// Signing in to the management server and the collection switches.
#include <spdlog/spdlog.h>

#include <string>
#include <vector>

#include "VarloService/service/Jobs.h"
#include "VarloService/service/VarloService.h"
#include "common/Nvm.h"
#include "platform/TextConv.h"

namespace {

constexpr DWORD kSignedInTimeoutMs = 6000;
constexpr DWORD kRetryTimeoutMs = 5000;
constexpr DWORD kBackOffTimeoutMs = 600000;
// Every fourth failure in a row backs off and connects afresh next time.
constexpr int kFailuresBeforeBackOff = 3;
constexpr DWORD kFilterRetryWaitMs = 10000;

}  // namespace

int cVarloService::Login() {
  {
    NvmVarlo nvm;
    nvm.GetString(NvmVarlo::IpAddr, m_AgentInfo.m_IpAddr);
    if (m_AgentInfo.m_IpAddr.empty() && m_SysInfo.UpdateIpAddr() > 0)
      nvm.SetString(NvmVarlo::IpAddr, m_AgentInfo.m_IpAddr);
  }
  std::wstring host;
  int secure = 1;
  int port = 443;
  {
    NvmDomain domain;
    if (domain.GetUrl(NvmDomain::Apis, host, secure, port) != 0) host = WidenBytes(kDefaultApiHost);
  }
  m_AgentInfo.LoadProxy();
  m_Api.Connect(host, secure, port);
  const int result = m_Api.Login();
  SPDLOG_INFO("m_Api.Login()={}", result);
  if (result != 0) {
    if (m_FailedLogins++ >= kFailuresBeforeBackOff) {
      m_FailedLogins = 0;
      SetReadTimeout(kBackOffTimeoutMs);
      m_Api.Close();
    } else {
      SetReadTimeout(kRetryTimeoutMs);
    }
    return 0;
  }
  m_FailedLogins = 0;
  SetReadTimeout(kSignedInTimeoutMs);
  if (m_Status != 2) {
    m_Status = 2;
    StoreStatus();
  }
  return OnLogin();
}

int cVarloService::OnLogin() {
  BroadcastStatus();
  if (m_FirstLogin) {
    m_FirstLogin = false;
    RunServerScript(kCmdDefenseAll, "defense-all.bat");
    RunServerScript(kCmdAuditAll, "audit-all");
    RunServerScript(kCmdAuditCustomAll, "audit-custom-all");
  }
  m_Repo.LoadEndpoint();
  m_Sys = -1;
  m_Web = -1;
  m_JobMask |= kJobLogConf;
  JobEvent();
  return 1;
}

void cVarloService::BroadcastStatus() {
  std::vector<uint8_t> message{MSG_SVC_STATUS, static_cast<uint8_t>(m_Status)};
  message.insert(message.end(), m_AgentInfo.m_IpAddr.begin(), m_AgentInfo.m_IpAddr.end());
  message.push_back(0);
  m_UI.Broadcast(message.data(), static_cast<uint32_t>(message.size()));
}

void cVarloService::BroadcastSwitch(uint8_t code, int value) {
  const uint8_t message[2] = {code, static_cast<uint8_t>(value)};
  m_UI.Broadcast(message, sizeof message);
}

int cVarloService::LogConf(int v) {
  if (v == m_Sys) return 0;
  m_Sys = v;
  BroadcastSwitch(MSG_SVC_SYSLOG, v);
  if (v < 1) {
    m_EvtLogSvc.Stop();
    m_WebLogSvc.Stop();
    SPDLOG_INFO("m_EvtLogSvc.Stop()");
    SPDLOG_INFO("m_WebLogSvc.Stop()");
    m_ModVarlo.Activate(0);
    return 2;
  }
  // Scripts that waited for collection run in a job pass now.
  m_JobMask |= m_DeferredJobs;
  m_DeferredJobs = 0;

  uint32_t detect = 0, block = 0, level = 0;
  m_Api.EdrConf(detect, block, level);
  LogSyslogConf(detect, block, level);

  json_t* uploadExcept = nullptr;
  m_Api.SysUploadExcept(uploadExcept);

  json_t* filters = nullptr;
  json_t* filterRefs = nullptr;
  if (detect) {
    int filterResult = m_Api.SysFilter(filters);
    int refResult = m_Api.SysFilterRef(filterRefs);
    if (filterResult < 0 || refResult < 0) {
      SPDLOG_ERROR("m_Api.SysFilter()={}", filterResult);
      SPDLOG_ERROR("m_Api.SysFilterRef()={}", refResult);
      WaitUnlessStopped(kFilterRetryWaitMs);
      if (filterResult < 0) {
        json_decref(filters);
        filters = nullptr;
        filterResult = m_Api.SysFilter(filters);
        SPDLOG_INFO("m_Api.SysFilter()={}", filterResult);
      }
      if (refResult < 0) {
        json_decref(filterRefs);
        filterRefs = nullptr;
        refResult = m_Api.SysFilterRef(filterRefs);
        SPDLOG_INFO("m_Api.SysFilterRef()={}", refResult);
      }
    }
  }
  m_EvtLogSvc.SetUploadExcept(uploadExcept);
  m_EvtLogSvc.SetSysFilter(filters, filterRefs);
  SPDLOG_INFO("m_EvtLogSvc.Start()={}", m_EvtLogSvc.Start(&m_AgentInfo));
  if (m_Web > 0) LogConfWeb();
  return 1;
}

int cVarloService::LogConfWeb(int v) {
  if (v == m_Web) return 0;
  m_Web = v;
  BroadcastSwitch(MSG_SVC_WEBLOG, v);
  if (v > 0) {
    LogConfWeb();
    return 1;
  }
  m_WebLogSvc.Stop();
  SPDLOG_INFO("m_WebLogSvc.Stop()");
  m_ModVarlo.Activate(0);
  return 2;
}

int cVarloService::LogConfWeb() {
  m_ModVarlo.CheckStat();
  if (m_ModVarlo.Activate(1) >= 0) {
    m_Api.ModVarloInfo(m_ModVarlo.TypeName(), m_ModVarlo.m_Version);
    UpdateWebFilterFile();
  }
  HandOverWebLists(kJobsWebLists);
  const int result = m_WebLogSvc.Start(&m_AgentInfo);
  SPDLOG_INFO("m_WebLogSvc.Start()={}", result);
  return result;
}
