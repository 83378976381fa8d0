// The duties of every pass of the main loop that are due by time or by state, and the self-update.
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "VarloService/actions/Uilt.h"
#include "VarloService/service/VarloService.h"
#include "common/Log.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/SystemCounters.h"
#include "platform/TextConv.h"

namespace {

constexpr int64_t kEventSilenceSeconds = 60;
constexpr int64_t kOwnCheckSeconds = 60;
constexpr int kOverLimitChecksBeforeRestart = 3;
constexpr uint32_t kUpdateCheckEvery = 10;
constexpr char kInstaller[] = "VarloSetup.exe";
constexpr char kUninstaller[] = "VarloUninstall.exe";
// Where a new agent package waits in the temporary folder until every file of it is verified.
constexpr char kUpdateStaging[] = "\\update";

bool KeyExists(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::string WindowsRelative(std::string name) {
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  return name;
}

}  // namespace

int cVarloService::RunSilently(const char* program) {
  const std::string command = "\"" + m_AgentInfo.m_InstallDir + "\\" + program + "\" /S";
  SPDLOG_INFO("strCmd={}", command);
  return ExecCmd(command, nullptr, 0);
}

int cVarloService::StartInstaller() {
  const int started = RunSilently(kInstaller);
  SPDLOG_INFO("ExecCmd()={}", started);
  // The installer stops the service to replace it. One that does not start leaves the service
  // running, and the next check tries again.
  if (started != 0) return 0;
  CloseLink();
  return -1;
}

void cVarloService::RestartService() {
  CloseLink();
  ExecCmd(RestartServiceCommand(), nullptr, 0);
}

void cVarloService::ReportOs(int64_t now) {
  if (m_OsReportPeriod == 0 || (m_LastOsReport != 0 && now - m_LastOsReport <= m_OsReportPeriod))
    return;
  m_LastOsReport = now;
  if (m_SysInfo.UpdateOsPatchInfo() > 0) m_Api.SystemVersion();
}

void cVarloService::ReportResources(int64_t now) {
  if (m_ResReportPeriod == 0 ||
      (m_LastResReport != 0 && now - m_LastResReport <= m_ResReportPeriod))
    return;
  m_LastResReport = now;
  int gathered = 0;
  if (PdhCollectQueryData(m_SysInfo.m_Query) == PDH_CSTATUS_VALID_DATA) {
    const auto read = [&gathered](PDH_HCOUNTER counter, double& field) {
      PDH_FMT_COUNTERVALUE value{};
      if (PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value) !=
          PDH_CSTATUS_VALID_DATA)
        return;
      field = value.doubleValue;
      ++gathered;
    };
    read(m_SysInfo.m_CpuCounter, m_AgentInfo.m_CpuUsage);
    read(m_SysInfo.m_DiskCounter, m_AgentInfo.m_DiskActiveTime);
    read(m_SysInfo.m_RxCounter, m_AgentInfo.m_InboundTraffic);
    read(m_SysInfo.m_TxCounter, m_AgentInfo.m_OutboundTraffic);
  }
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory) && memory.ullTotalPhys > 0) {
    m_AgentInfo.m_MemoryUsage =
        100.0 - static_cast<double>(memory.ullAvailPhys) * 100.0 / memory.ullTotalPhys;
    ++gathered;
  }
  ULARGE_INTEGER freeToCaller{}, total{}, totalFree{};
  if (GetDiskFreeSpaceExA(nullptr, &freeToCaller, &total, &totalFree) && total.QuadPart > 0) {
    m_AgentInfo.m_DiskUsage =
        100.0 - static_cast<double>(totalFree.QuadPart) * 100.0 / total.QuadPart;
    ++gathered;
  }
  if (gathered > 0) m_Api.SystemResource();
}

void cVarloService::NoticeUploadTime() {
  const uint64_t uploadTime = m_AgentInfo.m_UploadTime.load();
  if (m_UI.PageMask() == 0 || uploadTime == m_LastSentUploadTime) return;
  m_LastSentUploadTime = uploadTime;
  uint8_t message[9] = {MSG_SVC_UPLOADTIME};
  std::memcpy(message + 1, &uploadTime, sizeof uploadTime);
  m_UI.Send(message, sizeof message, -1);
}

void cVarloService::WatchSysmon() {
  if (!m_EvtLogSvc.SysmonMissing()) return;
  if (!KeyExists("SYSTEM\\CurrentControlSet\\Services\\Sysmon") &&
      !KeyExists("SYSTEM\\CurrentControlSet\\Services\\Sysmon64"))
    return;
  // Installed but its channel not there yet: a re-subscription would find it missing again, and
  // each one resets the event watchdog and drops the events of the switch.
  if (!cEvtLogSvc::SysmonChannelExists()) return;
  SPDLOG_INFO("{}()={}", "cEvtLogSvc::SysmonMonitor", m_EvtLogSvc.SubscribeChannels());
}

void cVarloService::WatchEvents(int64_t now) {
  if (!m_EvtLogSvc.Subscribed() && !m_EvtLogSvc.AwaitsSubscription()) return;
  if (now - m_EvtLogSvc.LastEvent() <= kEventSilenceSeconds) return;
  const int resubscribed = m_EvtLogSvc.SubscribeChannels();
  SPDLOG_INFO("{}()={}", "cEvtLogSvc::Watchdog", resubscribed);
  // A subscription that keeps failing is retried at every pass, but noticed once: the episode
  // ends with a subscription that works.
  if (!m_WatchdogEpisode) {
    m_EvtLogSvc.Relay().AddPending("cEvtLogSvc::Watchdog() RESET !!!");
    SPDLOG_CRITICAL("****");
    SPDLOG_CRITICAL("m_EvtLogSvc.Watchdog()={}", 1);
    SPDLOG_CRITICAL("****");
  }
  m_WatchdogEpisode = resubscribed != 0;
}

void cVarloService::WatchOwnResources(int64_t now) {
  if (now - m_LastOwnCheck <= kOwnCheckSeconds) return;
  m_LastOwnCheck = now;
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (GetProcessTimes(m_SysInfo.m_Process, &creation, &exit, &kernel, &user)) {
    FILETIME wall{};
    GetSystemTimeAsFileTime(&wall);
    const uint64_t wallNow = FileTimeValue(wall);
    const uint64_t busy = (FileTimeValue(kernel) - m_SysInfo.m_PrevKernelTime) +
                          (FileTimeValue(user) - m_SysInfo.m_PrevUserTime);
    if (wallNow > m_SysInfo.m_PrevWallTime)
      m_AgentInfo.m_OwnCpuUsage = static_cast<double>(busy) / (wallNow - m_SysInfo.m_PrevWallTime) /
                                  m_SysInfo.m_CpuCount * 100.0;
    m_SysInfo.m_PrevWallTime = wallNow;
    m_SysInfo.m_PrevKernelTime = FileTimeValue(kernel);
    m_SysInfo.m_PrevUserTime = FileTimeValue(user);
  }
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(m_SysInfo.m_Process, &memory, sizeof memory))
    m_AgentInfo.m_OwnMemory = memory.PagefileUsage;

  const bool over =
      m_AgentInfo.m_OwnCpuUsage > m_OwnCpuLimit || m_AgentInfo.m_OwnMemory > m_OwnMemoryLimit;
  m_OverLimitCount = over ? m_OverLimitCount + 1 : 0;
  if (m_OverLimitCount != kOverLimitChecksBeforeRestart) return;
  char text[80];
  std::snprintf(text, sizeof text, "Resource Watchdog RESET !!! CPU=%.2lf%% MEM=%.2lfMB",
                m_AgentInfo.m_OwnCpuUsage, m_AgentInfo.m_OwnMemory / 1048576.0);
  SPDLOG_CRITICAL("****");
  SPDLOG_CRITICAL("{}", text);
  SPDLOG_CRITICAL("****");
  m_EvtLogSvc.Relay().AddPending(text);
  // The closed link ends the loop at its next read; the command brings the service back.
  RestartService();
}

int cVarloService::CheckUpdate() {
  std::string version;
  if (!m_Repo.FetchVersion(m_AgentInfo.m_RepoPath, version)) return -1;
  if (version == m_AgentInfo.m_AgentVersion) return 0;
  SPDLOG_INFO("v{} ---> v{} is available", m_AgentInfo.m_AgentVersion, ForLog(version));
  return 1;
}

// Fetches the package into a staging folder and moves it over the installed files only when the
// installer and every other file of the manifest verified, so a damaged package changes nothing.
bool cVarloService::FetchVerifiedPackage() {
  const std::string installDir = m_AgentInfo.m_InstallDir + "\\";
  const std::string stagingFolder = m_AgentInfo.TempFolder() + kUpdateStaging;
  const std::string staging = stagingFolder + "\\";
  platform::CreateFolders(stagingFolder);
  m_Repo.ConnectEndpoint();
  std::vector<std::string> names;
  const int verified = m_Repo.DownloadPackage(m_AgentInfo.m_RepoPath, staging, &names);
  m_Repo.Close();
  bool complete = verified >= 2 && static_cast<size_t>(verified) == names.size();
  const bool listsInstaller = std::find(names.begin(), names.end(), kInstaller) != names.end();
  SPDLOG_INFO("m_Repo.DownloadPackage()={} of {}", verified, names.size());
  if (complete && listsInstaller) {
    for (const std::string& name : names) {
      const std::string relative = WindowsRelative(name);
      const size_t slash = relative.rfind('\\');
      if (slash != std::string::npos)
        platform::CreateFolders(installDir + relative.substr(0, slash));
      complete = platform::MoveReplacing(staging + relative, installDir + relative) && complete;
    }
    complete = platform::MarkExecutable(installDir + kInstaller) && complete;
  }
  platform::DeleteTree(stagingFolder);
  return complete && listsInstaller;
}

int cVarloService::SvcProc() {
  if (m_AgentInfo.m_Uninstall.load()) {
    CloseLink();
    RunSilently(kUninstaller);
    return -98000;
  }
  if (m_Status == 1) {
    Login();
    return 1;
  }
  if (m_Status != 2) return 0;

  const int64_t now = m_Clock.Now();
  ReportOs(now);
  ReportResources(now);
  NoticeUploadTime();
  WatchSysmon();
  WatchEvents(now);
  WatchOwnResources(now);

  if (m_Sys < 1 || m_AutoUpdate == 0) return 0;
  if (m_UpdatePasses++ % kUpdateCheckEvery != 0) return 0;
  const int available = CheckUpdate();
  if (available < 1) return 0;
  SPDLOG_INFO("*** CheckUpdate()={}", available);
  return FetchVerifiedPackage() ? StartInstaller() : 0;
}
