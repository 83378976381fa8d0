#pragma once
// Recording stand-ins for Windows tools (auditpol, netsh, powershell, ...): small executables in
// a folder put first in PATH, each appending its command line (name and arguments joined by one
// blank) as one line to a shared log, printing a chosen text and exiting with a chosen code.
#include <string>
#include <vector>

class cRecordingTools {
 public:
  // Creates the folder (a host path) and puts it first in PATH until destruction.
  explicit cRecordingTools(const std::string& folder);
  ~cRecordingTools();
  cRecordingTools(const cRecordingTools&) = delete;
  cRecordingTools& operator=(const cRecordingTools&) = delete;

  // Adds (or replaces) the stand-in for a tool name.
  void Add(const std::string& name, int exitCode = 0, const std::string& output = "");

  // Every recorded line, in the order of the calls.
  std::vector<std::string> Calls() const;
  // The lines recorded by one tool.
  std::vector<std::string> Calls(const std::string& name) const;
  void ClearCalls();

  const std::string& Folder() const { return m_Folder; }

 private:
  std::string m_Folder;
  std::string m_LogPath;
  std::string m_PreviousPath;
  bool m_HadPreviousPath = false;
};
