#pragma once
// The service control manager, for the agent's own service. A service is registered in the
// registry as Windows keeps it (HKLM "SYSTEM\CurrentControlSet\Services\<name>", value ImagePath).
// Starting it (sc, powershell) runs its program so that StartServiceCtrlDispatcherA accepts it; a
// program started any other way gets 1063 there. The stop control arrives as SIGTERM and is handed
// to the control handler on the dispatcher's thread. Every status report of the launched process
// is recorded: appended to "services/<name>.log" and kept as the current state in
// "services/<name>.status" under the state folder. Starts, stops and reports of several processes
// at once are taken one at a time.
#include <string>
#include <vector>

#include "platform/Errors.h"

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;

constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;

constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_CONTROL_STOP = 1;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

typedef void (*LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);
typedef void (*LPHANDLER_FUNCTION)(DWORD control);
typedef struct SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

struct SERVICE_TABLE_ENTRYA {
  LPSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// Runs the first service of the table on a thread of its own and handles controls on the calling
// thread; returns when that thread has ended. FALSE with 1063 when the service manager did not
// start this process.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
// Null with 1063 outside a dispatcher, or 1060 for another service's name.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);
// FALSE with 6, and nothing recorded, when this process is not the one the manager launched for
// the service.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

namespace platform {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";

// Registers a service with its Windows command line (for example the quoted program path), and
// makes the places where its slot and those of the programs that talk to it are created
// (MakeSlotFolders). False with last error.
bool InstallService(const std::string& name, const std::string& imagePath);

struct cServiceState {
  DWORD state = SERVICE_STOPPED;
  DWORD controlsAccepted = 0;
  DWORD checkPoint = 0;
  DWORD waitHint = 0;
  int processId = 0;
};

// ERROR_SUCCESS, 1060 when the service is not registered, or 1009 when the registry's store is
// damaged (the start and stop below report the same). A process that has ended counts as
// stopped, whatever it reported last.
DWORD QueryServiceState(const std::string& name, cServiceState& state);

// Starts the service once; when it is stopping, first waits for its process to end. Returns once
// the service has made its first status report: ERROR_SUCCESS, 1056 while it is starting or
// running, 1060 not registered, 1053 no report within waitMs, or the error of starting the
// program.
DWORD StartServiceByName(const std::string& name, DWORD waitMs);

// Sends the stop control to a running or starting service that accepts it: ERROR_SUCCESS, 1060,
// 1062 not running, 1061 the service does not accept it now. With waitStopped it returns only when the process has ended (1053 after waitMs).
DWORD StopServiceByName(const std::string& name, bool waitStopped, DWORD waitMs);

// The recorded status reports, one line each, oldest first.
std::vector<std::string> RecordedStatusReports(const std::string& name);

// "STOPPED", "START_PENDING", ... for a state number.
const char* ServiceStateName(DWORD state);

}  // namespace platform
