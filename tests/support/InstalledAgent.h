#pragma once
// The agent installed into a temporary machine root, driven through its own programs and the
// stand-in service tools, as a person at the console would.
#include <string>
#include <vector>

#include "platform/ServiceControl.h"
#include "tests/support/TempMachineRoot.h"

struct cRunResult {
  int exitCode = -1;
  std::string output;  // standard output and error
};

class cInstalledAgent {
 public:
  // The adapter list of the stand-in machine, so the agent's address is known.
  static constexpr char kAddress[] = "10.1.2.3";

  cInstalledAgent();
  ~cInstalledAgent();
  cInstalledAgent(const cInstalledAgent&) = delete;
  cInstalledAgent& operator=(const cInstalledAgent&) = delete;

  // Runs a command line of host programs (the stand-in tools are on PATH) and waits for it.
  cRunResult Run(const std::string& commandLine) const;
  // "VarloService" with arguments, from the install folder.
  cRunResult Service(const std::string& arguments) const;

  // Waits until the service reports the state (a process that ended counts as stopped).
  bool WaitForState(DWORD state, int timeoutMs = 20000) const;
  // Waits until the process of the service has ended.
  bool WaitForExit(int processId, int timeoutMs = 20000) const;
  platform::cServiceState State() const;
  // The recorded status reports without their process ids.
  std::vector<std::string> Reports() const;
  // The service's own log file.
  std::string Log() const;
  // Writes a value of the agent's settings key (or of its sub-key).
  void SetSetting(const std::string& subKey, const char* name, const std::string& text) const;
  void SetSetting(const char* name, DWORD value) const;
  // A number of the agent's settings key; fallback when it is missing.
  DWORD Setting(const char* name, DWORD fallback) const;
  // Puts a folder first in PATH (for recording stand-ins of Windows tools).
  void PrependPath(const std::string& folder);

  const std::string& Root() const { return m_Root.Path(); }

 private:
  cTempMachineRoot m_Root;
  std::string m_PreviousPath;
};
