// The service frame: the service main routine with its status reports and main loop, and the
// control handler. The handler runs on the dispatcher's thread; one lock serialises it with the
// service thread's reports and with the moments the service object appears and goes. A stop is
// taken from the first report on: whatever the service waits for on a server then ends, so the
// stop is carried out promptly, during start-up as well as later.
#include "VarloService/service/VarloService.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <mutex>

#include "common/Nvm.h"
#include "platform/ServiceControl.h"

namespace {

constexpr DWORD kStartWaitHintMs = 3000;

struct cServiceFrame {
  std::mutex lock;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
  SERVICE_STATUS_HANDLE handle = nullptr;
  uint32_t checkPoint = 1;  // never reset within the process
  cVarloService* service = nullptr;  // from the handler's registration until just before STOPPED
};

cServiceFrame& Frame() {
  static cServiceFrame frame;
  return frame;
}

// Call with the frame's lock held. Pending reports take the next checkpoint, the others 0.
void ReportLocked(cServiceFrame& frame, DWORD state, DWORD controls) {
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  frame.status.dwCurrentState = state;
  frame.status.dwControlsAccepted = controls;
  frame.status.dwCheckPoint = pending ? frame.checkPoint++ : 0;
  SetServiceStatus(frame.handle, &frame.status);
}

}  // namespace

cVarloService::cVarloService(platform::cClock& clock)
    : m_ModVarlo(&m_Repo), m_Clock(clock), m_ReadTimeoutMs(MAILSLOT_WAIT_FOREVER) {
  m_StartTime = m_Clock.Now();
}

void cVarloService::Loop(DWORD /*argc*/, LPSTR* /*argv*/) {
  cVarloService service;
  cServiceFrame& frame = Frame();
  {
    std::lock_guard<std::mutex> guard(frame.lock);
    frame.handle = RegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
    if (!frame.handle) return;
    frame.service = &service;
    frame.status.dwWaitHint = kStartWaitHintMs;
    ReportLocked(frame, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP);
    frame.status.dwWaitHint = 0;
  }
  service.Init();
  bool stoppedWhileStarting = false;
  {
    std::lock_guard<std::mutex> guard(frame.lock);
    stoppedWhileStarting = frame.status.dwCurrentState == SERVICE_STOP_PENDING;
    if (!stoppedWhileStarting) ReportLocked(frame, SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
  }
  // Start-up was still opening the link when the stop came, so the link is closed here.
  if (stoppedWhileStarting) service.CloseLink();
  service.RunMainLoop();
  // Both collectors end before STOPPED is told: a start that follows at once finds no process of
  // this run still at work.
  service.m_EvtLogSvc.Stop();
  service.m_WebLogSvc.Stop();
  {
    NvmVarlo settings(1);
    settings.SetQword(NvmVarlo::UploadTime, service.m_AgentInfo.m_UploadTime.load());
  }
  SPDLOG_INFO("+++");
  std::lock_guard<std::mutex> guard(frame.lock);
  frame.service = nullptr;
  ReportLocked(frame, SERVICE_STOPPED, SERVICE_ACCEPT_STOP);
}

void ServiceCtrlHandler(DWORD control) {
  cServiceFrame& frame = Frame();
  std::lock_guard<std::mutex> guard(frame.lock);
  const DWORD state = frame.status.dwCurrentState;
  if (control != SERVICE_CONTROL_STOP || (state != SERVICE_RUNNING && state != SERVICE_START_PENDING)) return;
  ReportLocked(frame, SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP);
  if (!frame.service) return;
  frame.service->RequestStop();
  if (state == SERVICE_RUNNING) frame.service->CloseLink();
}

void cVarloService::RequestStop() {
  {
    std::lock_guard<std::mutex> guard(m_StopLock);
    m_StopRequested = true;
  }
  m_StopWake.notify_all();
  m_Api.Cancel();
  m_Repo.Cancel();
}

bool cVarloService::WaitUnlessStopped(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(m_StopLock);
  return !m_StopWake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_StopRequested; });
}

void cVarloService::RunMainLoop() {
  if (CmdLoop() < 0) return;
  for (;;) {
    if (m_Status == 2) {
      if (JobEvent() < 0) return;
      if (m_Api.SessionExpired()) {
        SPDLOG_INFO("\n\n\nm_Api.SessionExpired()!!!\n\n\n");
        if (m_Status != 1) {
          m_Status = 1;
          StoreStatus();
        }
      }
    }
    if (SvcProc() < 0) return;
    if (CmdLoop() < 0) return;
  }
}

void cVarloService::SetReadTimeout(DWORD milliseconds) {
  m_ReadTimeoutMs = milliseconds;
  m_UI.SetReadTimeout(milliseconds);
}

void cVarloService::StoreStatus() {
  NvmVarlo settings(1);
  settings.SetDword(NvmVarlo::Status, static_cast<uint32_t>(m_Status));
}

void cVarloService::CloseLink() {
  const uint8_t exitNotice[] = {MSG_SVC_EXIT, 0};
  m_UI.Broadcast(exitNotice, sizeof(exitNotice));
  m_UI.Close();
}
