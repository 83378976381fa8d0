#pragma once
// Starting programs from Windows command lines: split by Windows rules and executed directly,
// never through a shell. The child inherits the environment and no descriptor of the parent but
// its standard ones.
#include <memory>
#include <string>
#include <vector>

#include "platform/Errors.h"

namespace platform {

struct cSessionInfo;

// Splits a command line as the Windows C runtime does: blanks separate arguments, double quotes
// group, "" inside quotes is one quote, 2n backslashes before a quote are n backslashes and the
// quote acts, 2n+1 are n backslashes and a literal quote, other backslashes are literal.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Host path of a program. A name with a folder in it is mapped and tried as given and with ".exe";
// a bare name is looked up the same way in each folder of PATH, then in "C:\Windows\System32" and
// "C:\Windows" as Windows does (names without regard to case).
// Empty when nothing is found.
std::string FindProgram(const std::string& name);

struct cProcessOptions {
  // The program to run; when empty, the first argument of the command line names it.
  std::string applicationName;
  // Windows command line; when empty, the application name alone.
  std::string commandLine;
  // Windows path of the child's current folder; empty keeps the parent's.
  std::string workingFolder;
  // Standard output and error into one pipe that ReadOutput reads; otherwise they are the
  // parent's. Standard input is always empty.
  bool captureOutput = false;
  // Run in that session (Sessions.h): as its user when this process may switch users and the
  // user is not elevated (an elevated user's copy keeps the caller's own rights, as the linked
  // token would); null runs with the caller's own identity.
  const cSessionInfo* session = nullptr;
};

class cProcess {
 public:
  cProcess();
  // Neither waits for the child nor ends it: a child that outlives its object keeps running.
  ~cProcess();
  cProcess(const cProcess&) = delete;
  cProcess& operator=(const cProcess&) = delete;

  // ERROR_SUCCESS, or 2 (program not found), 5 (not executable), 87 (empty command line),
  // 193 (not a program), 267 (working folder missing) or another Windows error; the same number
  // is in last error. The child runs in a session of its own, as a process of its own console
  // would, so it outlives the parent; started in a user session it finds VARLO_SESSION_ID,
  // VARLO_SESSION_USER and VARLO_SESSION_ELEVATED (0 or 1) in its environment.
  DWORD Start(const cProcessOptions& options);

  // Reads captured output: waits up to timeoutMs (INFINITE allowed) for data, returns the bytes
  // read (at most size), 0 at end of file (every writer closed), -1 with last error
  // ERROR_SEM_TIMEOUT when nothing arrived in time or ERROR_INVALID_HANDLE without a pipe.
  long ReadOutput(char* buffer, size_t size, DWORD timeoutMs);
  // Closes the parent's end of the output pipe.
  void CloseOutput();

  // True when the child has ended within timeoutMs (INFINITE allowed).
  bool Wait(DWORD timeoutMs);
  // Ends the child (not its own children); its exit code becomes exitCode. True also when it had
  // already ended (its code then stays).
  bool Terminate(DWORD exitCode);
  // The exit code, STILL_ACTIVE while running (128 plus the signal for a child that a signal
  // other than Terminate's ended); false when nothing was started.
  bool GetExitCode(DWORD& exitCode);
  // Host process id, 0 when nothing was started.
  int Id() const;

 private:
  struct cState;
  std::unique_ptr<cState> m_state;
};

}  // namespace platform
