#include "platform/ServiceControl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Mailslot.h"
#include "platform/NoCase.h"
#include "platform/Process.h"
#include "platform/Registry.h"

namespace {

// Set by the stand-in manager in the environment of the service program it starts.
constexpr char kStartedAs[] = "VARLO_SERVICE_START";
constexpr auto kPollStep = std::chrono::milliseconds(20);

std::string ServicesFolder() { return platform::StateFolder() + "/services"; }

std::string ServiceFile(const std::string& name, const char* extension) {
  return ServicesFolder() + "/" + platform::LowerAscii(name) + extension;
}

// Held while a start or stop is decided and its process recorded, and while a status report is
// checked and recorded: sc runs of several programs at once, the service's own restart command
// and the service's reports meet here one at a time.
platform::cFolderLock LockManager() {
  platform::CreateFolders(ServicesFolder());
  return platform::cFolderLock(ServicesFolder());
}

bool ProcessAlive(int processId) {
  if (processId <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

void WriteState(const std::string& name, const platform::cServiceState& state) {
  std::ostringstream text;
  text << state.state << ' ' << state.controlsAccepted << ' ' << state.checkPoint << ' '
       << state.waitHint << ' ' << state.processId << '\n';
  platform::WriteFileAtomically(ServiceFile(name, ".status"), text.str());
}

bool ReadState(const std::string& name, platform::cServiceState& state) {
  std::ifstream file(ServiceFile(name, ".status"));
  return static_cast<bool>(file >> state.state >> state.controlsAccepted >> state.checkPoint >>
                           state.waitHint >> state.processId);
}

// True when the record names this process, the one the manager launched for the service.
// Called under the manager's lock.
bool IsLaunchedProcess(const std::string& name) {
  platform::cServiceState state;
  return ReadState(name, state) && state.processId == getpid();
}

template <class Done>
bool WaitUntil(std::chrono::steady_clock::time_point deadline, Done done) {
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

template <class Done>
bool WaitFor(DWORD waitMs, Done done) {
  return WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs), done);
}

// The dispatcher of this process.
struct cDispatcher {
  std::mutex lock;
  std::string serviceName;
  LPHANDLER_FUNCTION handler = nullptr;
  bool active = false;
};

cDispatcher& Dispatcher() {
  static cDispatcher dispatcher;
  return dispatcher;
}

std::atomic<int> g_StopSignalFd{-1};

void OnStopSignal(int) {
  uint64_t one = 1;
  ssize_t written = write(g_StopSignalFd.load(), &one, sizeof(one));
  (void)written;
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  const char* startedAs = std::getenv(kStartedAs);
  if (!table || !table[0].lpServiceName || !table[0].lpServiceProc || !startedAs ||
      !platform::EqualNoCase(startedAs, table[0].lpServiceName)) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  {
    // Only the process that the manager launched connects; a copy of its environment does not.
    const auto recorded = LockManager();
    if (!IsLaunchedProcess(table[0].lpServiceName)) {
      SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
      return FALSE;
    }
  }
  // Programs the service starts are not services.
  unsetenv(kStartedAs);
  auto& dispatcher = Dispatcher();
  {
    std::lock_guard<std::mutex> guard(dispatcher.lock);
    dispatcher.serviceName = table[0].lpServiceName;
    dispatcher.active = true;
  }
  int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  g_StopSignalFd = stopFd;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  struct sigaction previous {};
  sigaction(SIGTERM, &action, &previous);

  std::thread service([&] {
    char* argv[] = {table[0].lpServiceName, nullptr};
    table[0].lpServiceProc(1, argv);
    uint64_t one = 1;
    ssize_t written = write(doneFd, &one, sizeof(one));
    (void)written;
  });
  for (;;) {
    pollfd waits[2] = {{stopFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) continue;
    if (waits[1].revents & POLLIN) break;
    uint64_t count = 0;
    if (read(stopFd, &count, sizeof(count)) > 0) {
      LPHANDLER_FUNCTION handler;
      {
        std::lock_guard<std::mutex> guard(dispatcher.lock);
        handler = dispatcher.handler;
      }
      if (handler) handler(SERVICE_CONTROL_STOP);
    }
  }
  service.join();
  sigaction(SIGTERM, &previous, nullptr);
  g_StopSignalFd = -1;
  close(stopFd);
  close(doneFd);
  std::lock_guard<std::mutex> guard(dispatcher.lock);
  dispatcher.active = false;
  dispatcher.handler = nullptr;
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler) {
  auto& dispatcher = Dispatcher();
  std::lock_guard<std::mutex> guard(dispatcher.lock);
  if (!dispatcher.active) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return nullptr;
  }
  if (!serviceName || !platform::EqualNoCase(serviceName, dispatcher.serviceName) || !handler) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  dispatcher.handler = handler;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(&dispatcher);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  auto& dispatcher = Dispatcher();
  std::string name;
  {
    std::lock_guard<std::mutex> guard(dispatcher.lock);
    if (handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(&dispatcher) || !dispatcher.active ||
        !status) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    name = dispatcher.serviceName;
  }
  platform::cServiceState state;
  state.state = status->dwCurrentState;
  state.controlsAccepted = status->dwControlsAccepted;
  state.checkPoint = status->dwCheckPoint;
  state.waitHint = status->dwWaitHint;
  state.processId = getpid();
  std::ostringstream line;
  line << platform::ServiceStateName(state.state) << " controls=" << state.controlsAccepted
       << " checkpoint=" << state.checkPoint << " wait=" << state.waitHint
       << " type=" << status->dwServiceType << " exit=" << status->dwWin32ExitCode << '/'
       << status->dwServiceSpecificExitCode << " pid=" << getpid() << '\n';
  const auto recording = LockManager();
  // A process that the manager did not launch, or no longer counts as the service's, must not
  // overwrite the record of the one that runs.
  if (!IsLaunchedProcess(name)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The record first, so whoever sees the new state finds its report.
  std::ofstream(ServiceFile(name, ".log"), std::ios::app) << line.str();
  WriteState(name, state);
  return TRUE;
}

namespace platform {

namespace {

std::string ServiceKeyPath(const std::string& name) {
  return std::string(kServicesKey) + "\\" + name;
}

// ERROR_SUCCESS, 1060 when the service is not registered, or the registry's error (a damaged
// store is told as such, not as a missing service).
DWORD ReadImagePath(const std::string& name, std::string& imagePath) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_READ, &key);
  if (result == ERROR_SUCCESS) {
    char value[2048];
    DWORD size = sizeof(value) - 1;
    result =
        RegQueryValueExA(key, "ImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS) {
      value[size] = '\0';
      imagePath = value;
    }
  }
  if (result == ERROR_FILE_NOT_FOUND || (result == ERROR_SUCCESS && imagePath.empty()))
    return ERROR_SERVICE_DOES_NOT_EXIST;
  return static_cast<DWORD>(result);
}

// Runs the service program detached, as the service manager's child would be.
DWORD Launch(const std::string& name, const std::string& imagePath, int& processId) {
  std::vector<std::string> arguments = SplitCommandLine(imagePath);
  if (arguments.empty()) return ERROR_FILE_NOT_FOUND;
  std::string program = MapPath(arguments[0]);
  if (access(program.c_str(), X_OK) != 0) return ERROR_FILE_NOT_FOUND;
  std::string output = ServiceFile(name, ".out");
  std::string workingFolder = MapPath(kSystemFolder);
  // The environment is built before the fork: the child may only exec.
  std::vector<std::string> environment;
  std::string path = "PATH=" + MapPath(kSystemFolder);
  for (char** each = environ; *each; ++each) {
    std::string entry = *each;
    if (entry.rfind("PATH=", 0) == 0) {
      path += ":" + entry.substr(5);
    } else if (entry.rfind(std::string(kStartedAs) + "=", 0) != 0) {
      environment.push_back(entry);
    }
  }
  environment.push_back(path);
  environment.push_back(std::string(kStartedAs) + "=" + name);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv[0] = const_cast<char*>(program.c_str());
  argv.push_back(nullptr);

  pid_t child = fork();
  if (child < 0) return ErrorFromErrno(errno);
  if (child == 0) {
    setsid();
    int null = open("/dev/null", O_RDONLY);
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(null, 0);
    dup2(out, 1);
    dup2(out, 2);
    // Services start in the system folder; without it, in the folder of whoever started them.
    int changed = chdir(workingFolder.c_str());
    (void)changed;
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  processId = child;
  return ERROR_SUCCESS;
}

}  // namespace

bool InstallService(const std::string& name, const std::string& imagePath) {
  if (!MakeSlotFolders()) return false;
  HKEY key = nullptr;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (result == ERROR_SUCCESS) {
    const DWORD type = SERVICE_WIN32_OWN_PROCESS;
    const DWORD automatic = 2;
    result = RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(imagePath.c_str()),
                            static_cast<DWORD>(imagePath.size() + 1));
    if (result == ERROR_SUCCESS)
      result = RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type),
                              sizeof(type));
    if (result == ERROR_SUCCESS)
      result = RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&automatic),
                              sizeof(automatic));
    RegCloseKey(key);
  }
  SetLastError(static_cast<DWORD>(result));
  return result == ERROR_SUCCESS;
}

DWORD QueryServiceState(const std::string& name, cServiceState& state) {
  std::string imagePath;
  const DWORD registered = ReadImagePath(name, imagePath);
  if (registered != ERROR_SUCCESS) return registered;
  state = cServiceState();
  if (ReadState(name, state) && !ProcessAlive(state.processId)) {
    state = cServiceState();
  }
  return ERROR_SUCCESS;
}

DWORD StartServiceByName(const std::string& name, DWORD waitMs) {
  std::string imagePath;
  const DWORD registered = ReadImagePath(name, imagePath);
  if (registered != ERROR_SUCCESS) return registered;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  size_t reportsBefore = 0;
  int processId = 0;
  for (;;) {
    int stopping = 0;
    {
      const auto deciding = LockManager();
      cServiceState state;
      QueryServiceState(name, state);
      if (state.state == SERVICE_START_PENDING || state.state == SERVICE_RUNNING)
        return ERROR_SERVICE_ALREADY_RUNNING;
      if (ProcessAlive(state.processId)) {
        // Stopping, or stopped and not yet ended.
        stopping = state.processId;
      } else {
        reportsBefore = RecordedStatusReports(name).size();
        const DWORD launched = Launch(name, imagePath, processId);
        if (launched != ERROR_SUCCESS) return launched;
        // The manager's own START_PENDING entry, until the service reports for itself; its
        // process id makes every later start see the service as started.
        cServiceState starting;
        starting.state = SERVICE_START_PENDING;
        starting.processId = processId;
        WriteState(name, starting);
        break;
      }
    }
    // A stop is under way: the start is decided again once its process has ended.
    if (!WaitUntil(deadline, [&] { return !ProcessAlive(stopping); }))
      return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  bool reported = WaitFor(waitMs, [&] {
    return RecordedStatusReports(name).size() > reportsBefore || !ProcessAlive(processId);
  });
  if (!reported || RecordedStatusReports(name).size() == reportsBefore)
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  return ERROR_SUCCESS;
}

DWORD StopServiceByName(const std::string& name, bool waitStopped, DWORD waitMs) {
  cServiceState state;
  {
    const auto deciding = LockManager();
    DWORD result = QueryServiceState(name, state);
    if (result != ERROR_SUCCESS) return result;
    if (state.state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    // A service that is starting takes the stop when it says it accepts it.
    const bool takesStop = state.state == SERVICE_RUNNING || state.state == SERVICE_START_PENDING;
    if (!takesStop || !(state.controlsAccepted & SERVICE_ACCEPT_STOP))
      return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (kill(state.processId, SIGTERM) != 0) return ErrorFromErrno(errno);
  }
  int processId = state.processId;
  if (waitStopped) {
    return WaitFor(waitMs, [&] { return !ProcessAlive(processId); })
               ? ERROR_SUCCESS
               : ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  // As the manager does, return once the handler has answered the control.
  WaitFor(waitMs, [&] {
    cServiceState now;
    return !ProcessAlive(processId) || (ReadState(name, now) && now.state != state.state);
  });
  return ERROR_SUCCESS;
}

std::vector<std::string> RecordedStatusReports(const std::string& name) {
  std::vector<std::string> lines;
  std::ifstream file(ServiceFile(name, ".log"));
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

const char* ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case 5:
      return "CONTINUE_PENDING";
    case 6:
      return "PAUSE_PENDING";
    case 7:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

}  // namespace platform
