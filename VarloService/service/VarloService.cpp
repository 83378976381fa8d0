// The service frame: the service main routine with its status reports and main loop, and the
// control handler. The handler runs on the dispatcher's thread; one lock serialises it with the
// service thread's reports and with the moments the service object appears and goes.
#include "VarloService/service/VarloService.h"

#include <spdlog/spdlog.h>

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
  cVarloService* running = nullptr;
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
    frame.status.dwWaitHint = kStartWaitHintMs;
    ReportLocked(frame, SERVICE_START_PENDING, 0);
    frame.status.dwWaitHint = 0;
  }
  service.Init();
  {
    std::lock_guard<std::mutex> guard(frame.lock);
    frame.running = &service;
    ReportLocked(frame, SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
  }
  service.RunMainLoop();
  service.m_EvtLogSvc.Stop();
  {
    NvmVarlo settings(1);
    settings.SetQword(NvmVarlo::UploadTime, service.m_AgentInfo.m_UploadTime.load());
  }
  SPDLOG_INFO("+++");
  std::lock_guard<std::mutex> guard(frame.lock);
  frame.running = nullptr;
  ReportLocked(frame, SERVICE_STOPPED, SERVICE_ACCEPT_STOP);
}

void ServiceCtrlHandler(DWORD control) {
  cServiceFrame& frame = Frame();
  std::lock_guard<std::mutex> guard(frame.lock);
  if (control != SERVICE_CONTROL_STOP || frame.status.dwCurrentState != SERVICE_RUNNING) return;
  ReportLocked(frame, SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP);
  if (frame.running) frame.running->CloseLink();
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
