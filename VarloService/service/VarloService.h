#pragma once
// The service object: one per service run, built on the stack of the service main routine. Its
// members are the agent's components; its methods are the steps of start-up and of the main loop,
// all run on the service thread.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "VarloService/actions/Audit.h"
#include "VarloService/evtlog/EvtLogSvc.h"
#include "VarloService/mailslot/MsgQueue.h"
#include "VarloService/mailslot/ServiceMessage.h"
#include "VarloService/modvarlo/ModVarlo.h"
#include "VarloService/server/Api.h"
#include "VarloService/server/Repo.h"
#include "VarloService/sysinfo/SystemInfo.h"
#include "VarloService/weblog/WebLogSvc.h"
#include "common/AgentInfo.h"
#include "platform/Clock.h"
#include "platform/Types.h"

constexpr char kServiceName[] = "VARLO";
// The tray program is started from its fixed place, whatever the install-folder setting says.
constexpr char kTrayProgram[] = "C:\\Program Files\\VARLO\\Varlo.exe";

class cVarloService {
 public:
  explicit cVarloService(platform::cClock& clock = platform::Clock());
  cVarloService(const cVarloService&) = delete;
  cVarloService& operator=(const cVarloService&) = delete;

  // The service main routine: builds the object, runs start-up and the main loop, stops.
  static void Loop(DWORD argc, LPSTR* argv);

  // Start-up (always 0).
  int Init();
  int InitLog();
  int SetEnv();
  // Starts the tray program in every active user session; the number of sessions served.
  int LaunchUserApp();

  // The main loop between RUNNING and the stop steps; it ends when a step returns a negative
  // result.
  void RunMainLoop();
  // Reads and handles mailslot messages until the pass's read time-out has run out (0) or the slot
  // is gone (-1).
  int CmdLoop();
  // Fetches the server's jobs and handles each set bit: 0 none, 1 handled.
  int JobEvent();
  // Periodic duties of a pass; negative ends the main loop.
  int SvcProc();

  int Login();
  int OnLogin();
  int LogConf(int v);
  int LogConfWeb(int v);
  int LogConfWeb();
  int RemoteControl();
  int CheckUpdate();
  int Isolate(int mode);
  int UpdateWebFilterFile();
  int ModVarloUpdate();
  int ModVarloUninstall();

  // The read time-out of the service slot, the main loop's only clock.
  void SetReadTimeout(DWORD milliseconds);
  // Broadcasts the exit notice and closes the link, so the next read ends the main loop.
  void CloseLink();
  // From the control handler at a stop: the requests to the servers, in flight or to come, fail
  // at once, and a wait of the loop ends.
  void RequestStop();
  // Waits the milliseconds, or until a stop comes; false when it came.
  bool WaitUnlessStopped(DWORD milliseconds);
  // Closes the link and runs the command that stops the service and starts it again.
  void RestartService();

  // Members in their construction order.
  const char* m_Version = kAgentVersion;
  int32_t m_Status = 0;            // 0 signed out by the user, 1 not signed in, 2 signed in
  uint32_t m_JobMask = 0;          // job bits still to handle
  uint32_t m_DeferredJobs = 0;     // script jobs held back while system-log collection is off
  int32_t m_AutoUpdate = 1;
  int32_t m_Sys = -1;              // system-log collection: -1 unknown, 0 off, 1 or more on
  int32_t m_Web = -1;              // web-log collection, same values
  int32_t m_OsReportPeriod = 0;    // seconds, 0 = no report
  int32_t m_ResReportPeriod = 0;   // seconds, 0 = no report
  int64_t m_StartTime = 0;
  cAgentInfo m_AgentInfo;
  cSystemInfo m_SysInfo;
  cMsgQueue m_UI;
  cAudit m_Audit;
  cApi m_Api;
  cRepo m_Repo;
  cEvtLogSvc m_EvtLogSvc;
  cWebLogSvc m_WebLogSvc;
  cModVarlo m_ModVarlo;

  // State the loop keeps across passes.
  platform::cClock& m_Clock;
  DWORD m_ReadTimeoutMs;
  int m_FilterRetries = 0;         // filter fetches retried in a row
  int m_FailedLogins = 0;          // failed sign-ins in a row
  bool m_FirstLogin = true;        // the one-time scripts are still to run
  int64_t m_LastOsReport = 0;
  int64_t m_LastResReport = 0;
  uint64_t m_LastSentUploadTime = 0;
  bool m_WatchdogEpisode = false;  // the event watchdog's re-subscriptions keep failing
  int64_t m_LastOwnCheck = 0;
  int m_OverLimitCount = 0;        // own-resource checks in a row over a limit
  uint32_t m_UpdatePasses = 0;
  // The service's own use above which its resource watchdog counts a check.
  double m_OwnCpuLimit = 50.0;             // percent of all processors
  uint64_t m_OwnMemoryLimit = 524288000;   // bytes
  // The stop from the control handler, for the waits of the service thread.
  std::mutex m_StopLock;
  std::condition_variable m_StopWake;
  bool m_StopRequested = false;

 private:
  // Stores Status in the registry.
  void StoreStatus();
  void HandleMessage(const uint8_t* message, uint32_t length);
  void HandleTrayUser(const cServiceMessage& message, const platform::cMailslotSender& sender);
  void HandleLogin(const cServiceMessage& message);
  void HandlePage(const cServiceMessage& message);
  void HandleAutoUpdate(int8_t value);
  void HandleTestWord(const std::string& word);
  void HandleCommandFile(const std::string& path);

  // Sign-in and collection switches.
  void BroadcastStatus();
  void BroadcastSwitch(uint8_t code, int value);
  // Hands the server's EDR settings to the event-log service; the change state.
  int LogSyslogConf(uint32_t detect, uint32_t block, uint32_t level);

  // Job dispatch.
  // Clears the bits; true when any was set.
  bool TakeJob(uint32_t bits);
  // A script job while system-log collection is off waits in the deferred jobs.
  bool TakeScriptJob(uint32_t bit);
  // Fetches a command script of a kind, acknowledges it, runs it and removes it.
  void RunServerScript(int kind, const char* fileName);
  void HandleLogConfJob();
  void HandleFilterJob();
  void HandleEdrDefenseCmdJob();
  // Fetches the web side's lists named by their job bits and hands over each that arrived.
  void HandOverWebLists(uint32_t jobs);

  // Periodic duties.
  // Starts a program of the install folder with "/S", without waiting; ExecCmd's result.
  int RunSilently(const char* program);
  // Starts the installer of a verified package: -1 when it runs, which ends the main loop; 0 when
  // it does not.
  int StartInstaller();
  void ReportOs(int64_t now);
  void ReportResources(int64_t now);
  void NoticeUploadTime();
  void WatchSysmon();
  void WatchEvents(int64_t now);
  void WatchOwnResources(int64_t now);
  bool FetchVerifiedPackage();
};

// The control handler of the service frame (dispatcher thread).
void ServiceCtrlHandler(DWORD control);
