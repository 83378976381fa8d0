#pragma once
// Switches on the audit subcategories whose events the agent collects, once per installation,
// and runs the audit scripts that the management server hands out.
#include <string>

class cAudit {
 public:
  // Backs up the machine's audit policy to "auditpolicy.csv" in the install folder and enables
  // success and failure auditing; the backup file marks the policy as set. Keeps a pointer to
  // installDir for RunScript. 1 commands run; 0 the backup already existed.
  int SetPolicy(const std::string& installDir);

  // Keeps the "win-" lines of the downloaded script installDir\name in name.ps1 and runs it with
  // PowerShell in every active user session. Returns the size of the ".ps1" file (0: nothing
  // kept or no script, nothing run); -1 the ".ps1" file could not be created (or no install
  // folder is known yet); -2 a name that would leave the install folder.
  int RunScript(const std::string& name);

 private:
  const std::string* m_InstallDir = nullptr;
};
