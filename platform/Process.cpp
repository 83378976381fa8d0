#include "platform/Process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Sessions.h"

namespace platform {
namespace {

// The user a child switches to: only when this process may switch and the session's user is a
// plain (not elevated) account other than our own.
struct cIdentity {
  bool switchUser = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

cIdentity IdentityFor(const cSessionInfo* session) {
  cIdentity identity;
  if (!session || session->elevated || geteuid() != 0) return identity;
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(session->user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return identity;
  if (found->pw_uid == geteuid()) return identity;
  int count = 64;
  identity.groups.resize(static_cast<size_t>(count));
  if (getgrouplist(found->pw_name, found->pw_gid, identity.groups.data(), &count) < 0) {
    identity.groups.resize(static_cast<size_t>(count));
    getgrouplist(found->pw_name, found->pw_gid, identity.groups.data(), &count);
  }
  identity.groups.resize(static_cast<size_t>(count > 0 ? count : 0));
  identity.switchUser = true;
  identity.uid = found->pw_uid;
  identity.gid = found->pw_gid;
  return identity;
}

std::vector<std::string> ChildEnvironment(const cSessionInfo* session) {
  std::vector<std::string> variables;
  for (auto& variable : EnvironmentBlock()) {
    if (session && variable.compare(0, 14, "VARLO_SESSION_") == 0) continue;
    variables.push_back(std::move(variable));
  }
  if (session) {
    variables.push_back("VARLO_SESSION_ID=" + std::to_string(session->id));
    variables.push_back("VARLO_SESSION_USER=" + session->user);
    variables.push_back(std::string("VARLO_SESSION_ELEVATED=") + (session->elevated ? "1" : "0"));
  }
  return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

DWORD StartError(int hostErrno) {
  switch (hostErrno) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ENOTDIR: return ERROR_DIRECTORY;
    default: return ErrorFromErrno(hostErrno);
  }
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunChild(const char* program, char** argv, char** envp, const char* folder, int outputFd,
                           int reportFd, const cIdentity& identity) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard;
  std::memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &standard, nullptr);
  setsid();
  int input = open("/dev/null", O_RDONLY);
  if (input >= 0 && input != 0) dup2(input, 0);
  if (outputFd >= 0) {
    dup2(outputFd, 1);
    dup2(outputFd, 2);
  }
  // Nothing of the parent but the standard descriptors and the report pipe (closed by exec).
  if (reportFd > 3) syscall(SYS_close_range, 3, reportFd - 1, 0);
  syscall(SYS_close_range, reportFd + 1, UINT_MAX, 0);
  int error = 0;
  if (folder && chdir(folder) != 0) error = ENOTDIR;
  if (!error && identity.switchUser &&
      (setgroups(identity.groups.size(), identity.groups.data()) != 0 || setgid(identity.gid) != 0 ||
       setuid(identity.uid) != 0)) {
    error = errno;
  }
  if (!error) {
    execve(program, argv, envp);
    error = errno;
  }
  ssize_t ignored = write(reportFd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

// A close-on-exec pipe whose ends are above the standard descriptors, so that the child's
// redirections never overwrite them (a parent started without standard descriptors has those
// numbers free).
bool OpenPipe(int ends[2]) {
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (ends[i] > 2) continue;
    int moved = fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(ends[i]);
    ends[i] = moved;
    if (moved < 0) {
      close(ends[1 - i]);
      errno = error;
      return false;
    }
  }
  return true;
}

using cDeadline = std::chrono::steady_clock::time_point;

cDeadline Deadline(DWORD timeoutMs) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs); }

// What is left until the deadline as a poll time-out (-1 waits without end).
int PollWait(cDeadline deadline, DWORD timeoutMs) {
  if (timeoutMs == INFINITE) return -1;
  return static_cast<int>(std::min<uint32_t>(platform::MillisecondsUntil(deadline), INT_MAX));
}

int OpenPidFd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

struct cProcess::cState {
  std::mutex lock;  // guards the fields below against Wait and Terminate on other threads
  pid_t pid = 0;
  int pidFd = -1;
  int outputFd = -1;
  bool reaped = false;
  DWORD exitCode = STILL_ACTIVE;

  // Collects the child's status when it has ended; true once it has.
  bool Reap(bool block) {
    if (reaped) return true;
    int status = 0;
    pid_t result;
    do {
      result = waitpid(pid, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result != pid) return false;
    reaped = true;
    if (WIFEXITED(status)) {
      exitCode = static_cast<DWORD>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      exitCode = 128 + static_cast<DWORD>(WTERMSIG(status));
    }
    return true;
  }
};

cProcess::cProcess() : m_state(std::make_unique<cState>()) {}

cProcess::~cProcess() {
  CloseOutput();
  std::lock_guard<std::mutex> guard(m_state->lock);
  if (m_state->pidFd >= 0) close(m_state->pidFd);
  if (m_state->pid > 0 && !m_state->Reap(false)) {
    // The child outlives this object; someone must still collect it when it ends.
    pid_t pid = m_state->pid;
    std::thread([pid] {
      int status;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
}

DWORD cProcess::Start(const cProcessOptions& options) {
  auto fail = [](DWORD error) {
    SetLastError(error);
    return error;
  };
  if (m_state->pid > 0) return fail(ERROR_INVALID_PARAMETER);
  std::vector<std::string> arguments =
      options.commandLine.empty() ? std::vector<std::string>() : SplitCommandLine(options.commandLine);
  if (arguments.empty() && !options.applicationName.empty()) arguments.push_back(options.applicationName);
  if (arguments.empty()) return fail(ERROR_INVALID_PARAMETER);
  const std::string& name = options.applicationName.empty() ? arguments[0] : options.applicationName;
  // An application name is a path, never searched for on PATH.
  std::string program = FindProgram(options.applicationName.empty() || name.find_first_of("\\/:") != std::string::npos
                                        ? name
                                        : ".\\" + name);
  if (program.empty()) return fail(ERROR_FILE_NOT_FOUND);
  if (access(program.c_str(), X_OK) != 0) return fail(ERROR_ACCESS_DENIED);
  std::string folder;
  if (!options.workingFolder.empty()) {
    folder = MapPath(options.workingFolder);
    struct stat info;
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return fail(ERROR_DIRECTORY);
  }
  cIdentity identity = IdentityFor(options.session);
  std::vector<std::string> variables = ChildEnvironment(options.session);
  std::vector<char*> argv = Pointers(arguments);
  std::vector<char*> envp = Pointers(variables);

  int output[2] = {-1, -1};
  if (options.captureOutput && !OpenPipe(output)) return fail(ErrorFromErrno(errno));
  int report[2];
  if (!OpenPipe(report)) {
    DWORD error = ErrorFromErrno(errno);
    if (output[0] >= 0) {
      close(output[0]);
      close(output[1]);
    }
    return fail(error);
  }
  pid_t pid = fork();
  if (pid == 0) {
    RunChild(program.c_str(), argv.data(), envp.data(), folder.empty() ? nullptr : folder.c_str(), output[1],
             report[1], identity);
  }
  int forkError = errno;
  close(report[1]);
  if (output[1] >= 0) close(output[1]);
  if (pid < 0) {
    close(report[0]);
    if (output[0] >= 0) close(output[0]);
    return fail(ErrorFromErrno(forkError));
  }
  int childError = 0;
  ssize_t got;
  do {
    got = read(report[0], &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof childError)) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output[0] >= 0) close(output[0]);
    return fail(StartError(childError));
  }
  std::lock_guard<std::mutex> guard(m_state->lock);
  m_state->pid = pid;
  m_state->pidFd = OpenPidFd(pid);
  m_state->outputFd = output[0];
  m_state->reaped = false;
  m_state->exitCode = STILL_ACTIVE;
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

long cProcess::ReadOutput(char* buffer, size_t size, DWORD timeoutMs) {
  int fd = m_state->outputFd;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  auto deadline = Deadline(timeoutMs);
  for (;;) {
    int wait = PollWait(deadline, timeoutMs);
    struct pollfd ready = {fd, POLLIN, 0};
    int polled = poll(&ready, 1, wait);
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) {
      SetLastError(ErrorFromErrno(errno));
      return -1;
    }
    if (polled == 0) {
      SetLastError(ERROR_SEM_TIMEOUT);
      return -1;
    }
    ssize_t got = read(fd, buffer, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      SetLastError(ErrorFromErrno(errno));
      return -1;
    }
    return static_cast<long>(got);
  }
}

void cProcess::CloseOutput() {
  if (m_state->outputFd >= 0) close(m_state->outputFd);
  m_state->outputFd = -1;
}

bool cProcess::Wait(DWORD timeoutMs) {
  int pidFd;
  {
    std::lock_guard<std::mutex> guard(m_state->lock);
    if (m_state->pid <= 0) return false;
    if (m_state->Reap(false)) return true;
    pidFd = m_state->pidFd;
  }
  auto deadline = Deadline(timeoutMs);
  for (;;) {
    int wait = PollWait(deadline, timeoutMs);
    if (pidFd >= 0) {
      struct pollfd ready = {pidFd, POLLIN, 0};
      if (poll(&ready, 1, wait) < 0 && errno != EINTR) return false;
    } else {
      // Without a process descriptor, look again every few milliseconds.
      std::this_thread::sleep_for(std::chrono::milliseconds(wait < 0 || wait > 5 ? 5 : wait));
    }
    std::lock_guard<std::mutex> guard(m_state->lock);
    if (m_state->Reap(false)) return true;
    if (wait == 0) return false;
  }
}

bool cProcess::Terminate(DWORD exitCode) {
  std::lock_guard<std::mutex> guard(m_state->lock);
  if (m_state->pid <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (m_state->Reap(false)) return true;
  kill(m_state->pid, SIGKILL);
  m_state->Reap(true);
  m_state->exitCode = exitCode;
  return true;
}

bool cProcess::GetExitCode(DWORD& exitCode) {
  std::lock_guard<std::mutex> guard(m_state->lock);
  if (m_state->pid <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  m_state->Reap(false);
  exitCode = m_state->exitCode;
  return true;
}

int cProcess::Id() const { return static_cast<int>(m_state->pid); }

}  // namespace platform
