// The poll of the management server's jobs and the handling of each job bit, in a fixed order.
#include "VarloService/service/Jobs.h"

#include <spdlog/spdlog.h>

#include "VarloService/actions/Uilt.h"
#include "VarloService/service/VarloService.h"
#include "platform/Files.h"

namespace {

// The lists that switching a collection on has just fetched itself.
constexpr uint32_t kJobsFetchedBySysOn = 0x10BB30;
constexpr uint32_t kJobsFetchedByWebOn = 0x101000;
// The bits the agent sets itself: the configuration after a sign-in, the filter retries and the
// scripts that waited for collection. They are handled also when the poll brings no data, or a
// restart with a stored sign-in would collect nothing until the server happened to send a job.
constexpr uint32_t kJobsSetByAgent =
    kJobLogConf | kJobFilter | kJobDefense | kJobAudit | kJobAuditCustom;
// Filter fetches retried in a row before the job is given up until a success.
constexpr int kMaxFilterRetries = 10;
constexpr uint32_t kScriptWaitMs = 10000;

// The web side's lists in the order its start hands them over: the job bit that announces each,
// the list of the server, and the web-log service's setter that takes it over.
constexpr int32_t kMaskingList = -1;  // cApi::LogMasking's, not one of cApi::WebFilter
struct cWebList {
  uint32_t job;
  int32_t list;
  void (cWebLogSvc::*give)(json_t*);
};
const cWebList kWebLists[] = {
    {kJobLogMasking, kMaskingList, &cWebLogSvc::SetLogMask},
    {kJobWebFilter, kWebFilterList, &cWebLogSvc::SetWebFilter},
    {kJobWafExcept, kWafExceptList, &cWebLogSvc::SetWafExcept},
    {kJobWebUploadExcept, kWebUploadExceptList, &cWebLogSvc::SetUploadExcept},
};

}  // namespace

void cVarloService::HandOverWebLists(uint32_t jobs) {
  for (const cWebList& web : kWebLists) {
    if (!(jobs & web.job)) continue;
    json_t* list = nullptr;
    const int fetched =
        web.list == kMaskingList ? m_Api.LogMasking(list) : m_Api.WebFilter(web.list, list);
    if (fetched == 0) (m_WebLogSvc.*web.give)(list);
  }
}

bool cVarloService::TakeJob(uint32_t bits) {
  if ((m_JobMask & bits) == 0) return false;
  m_JobMask &= ~bits;
  return true;
}

// A script job waits while system-log collection is off; true when it is to run now.
bool cVarloService::TakeScriptJob(uint32_t bit) {
  if (!TakeJob(bit)) return false;
  if (m_Sys >= 1) return true;
  m_DeferredJobs |= bit;
  return false;
}

void cVarloService::RunServerScript(int kind, const char* fileName) {
  const std::string& installDir = m_AgentInfo.m_InstallDir;
  const std::string file = installDir + "\\" + fileName;
  // A script left from an earlier run must not run again when the answer brings none.
  platform::DeletePath(file);
  json_t* ids = nullptr;
  if (m_Api.GetCmd(kind, ids, file) != 0) return;
  m_Api.AckCmd(kind, ids);
  if (kind == kCmdDefense || kind == kCmdDefenseAll)
    ExecCmd(std::string("cmd /c ") + fileName, installDir.c_str(), kScriptWaitMs);
  else
    m_Audit.RunScript(fileName);
  platform::DeletePath(file);
}

int cVarloService::LogSyslogConf(uint32_t detect, uint32_t block, uint32_t level) {
  const int changed = m_EvtLogSvc.SyslogConf(detect, block, level);
  SPDLOG_INFO("m_EvtLogSvc.SyslogConf(nDetect={} nBlock={} nLogLevel={})={}", detect, block, level,
              changed);
  return changed;
}

void cVarloService::HandleLogConfJob() {
  uint32_t on = 0;
  if (m_Api.LogConf(kSysLog, on) == 0 && LogConf(static_cast<int>(on)) == 1)
    m_JobMask &= ~kJobsFetchedBySysOn;
  if (m_Api.LogConf(kWebLog, on) == 0 && LogConfWeb(static_cast<int>(on)) == 1)
    m_JobMask &= ~kJobsFetchedByWebOn;
  SPDLOG_INFO("m_Api.LogConf()=SYS:{} WEB:{}", m_Sys, m_Web);
  uint32_t periodMs = 0;
  if (m_Api.MonConf(kResourceReport, periodMs) == 0)
    m_ResReportPeriod = static_cast<int32_t>(periodMs / 1000);
  if (m_Api.MonConf(kOsReport, periodMs) == 0)
    m_OsReportPeriod = static_cast<int32_t>(periodMs / 1000);
  SPDLOG_INFO("m_Api.MonConf()=Res:{} Os:{}", m_ResReportPeriod, m_OsReportPeriod);
  SPDLOG_INFO("RemoteControl()={}", RemoteControl());
}

void cVarloService::HandleFilterJob() {
  json_t* filters = nullptr;
  json_t* references = nullptr;
  const int filterResult = m_Api.SysFilter(filters);
  const int referenceResult = m_Api.SysFilterRef(references);
  if (filterResult >= 0 && referenceResult >= 0) {
    m_FilterRetries = 0;
    m_EvtLogSvc.SetSysFilter(filters, references);
    return;
  }
  SPDLOG_ERROR("m_Api.SysFilter()={}", filterResult);
  SPDLOG_ERROR("m_Api.SysFilterRef()={}", referenceResult);
  json_decref(filters);
  json_decref(references);
  if (m_FilterRetries < kMaxFilterRetries) {
    m_JobMask |= kJobFilter;
    ++m_FilterRetries;
  }
}

void cVarloService::HandleEdrDefenseCmdJob() {
  json_t* commands = nullptr;
  if (m_Api.EdrDefenseCmd(commands) != 0) return;
  m_EvtLogSvc.Cmd(commands);
  json_t* members = json_object();
  json_object_set_new(members, "edrDefenseCmdReceiveLogIds", commands);
  m_Api.Call(cApi::VerbPost, L"/pserver/agent/edr/edrdefensecmd/response", members);
}

int cVarloService::JobEvent() {
  const int polled = m_Api.Job(m_JobMask);
  const bool due =
      polled == 0 ? m_JobMask != 0 : polled == 1 && (m_JobMask & kJobsSetByAgent) != 0;
  if (!due) return 0;
  SPDLOG_INFO("JOBCODE={:x}", m_JobMask);
  const auto sysOn = [this] { return m_Sys >= 1; };
  const auto sysAndWebOn = [this] { return m_Sys >= 1 && m_Web >= 1; };

  if (TakeJob(kJobLogConf)) HandleLogConfJob();
  if (TakeJob(kJobEdrConf) && sysOn()) {
    uint32_t detect = 0, block = 0, level = 0;
    // Detection switched on: the filters are fetched in this same pass.
    if (m_Api.EdrConf(detect, block, level) == 0 && LogSyslogConf(detect, block, level) == 1)
      m_JobMask |= kJobFilter;
  }
  if (TakeJob(kJobFilter | kJobFilterReference) && m_EvtLogSvc.Detect() && sysOn())
    HandleFilterJob();
  if (TakeJob(kJobEdrDefenseCmd) && sysOn()) HandleEdrDefenseCmdJob();
  if (TakeScriptJob(kJobDefense)) RunServerScript(kCmdDefense, "defense.bat");
  if (TakeScriptJob(kJobAudit)) RunServerScript(kCmdAudit, "audit");
  if (TakeScriptJob(kJobAuditCustom)) RunServerScript(kCmdAuditCustom, "audit-custom");
  if (TakeJob(kJobSysUploadExcept) && sysOn()) {
    json_t* list = nullptr;
    if (m_Api.SysUploadExcept(list) == 0) m_EvtLogSvc.SetUploadExcept(list);
  }
  if (TakeJob(kJobWebUploadExcept) && sysAndWebOn()) HandOverWebLists(kJobWebUploadExcept);
  if (TakeJob(kJobWebExtendsFilter)) UpdateWebFilterFile();
  for (const uint32_t job : {kJobWebFilter, kJobWafExcept, kJobLogMasking}) {
    if (TakeJob(job) && sysAndWebOn()) HandOverWebLists(job);
  }
  if (TakeJob(kJobModVarloUpdate)) SPDLOG_INFO("ModVarloUpdate()={}", ModVarloUpdate());
  if (TakeJob(kJobModVarloDelete)) SPDLOG_INFO("ModVarloUninstall()={}", ModVarloUninstall());
  if (TakeJob(kJobHostIsolateClear)) SPDLOG_INFO("Isolate(0)={}", Isolate(0));
  if (TakeJob(kJobHostIsolate)) SPDLOG_INFO("Isolate(1)={}", Isolate(1));
  if (TakeJob(kJobHostShutdown)) {
    // Best effort: the machine goes down whether or not the server heard of it.
    m_Api.Call(cApi::VerbPost, L"/pserver/agent/shutdown", json_object());
    SPDLOG_INFO("Isolate(2)={}", PowerOff());
  }
  return 1;
}
