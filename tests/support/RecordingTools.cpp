#include "tests/support/RecordingTools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// Single-quoted for sh: every ' becomes '\''.
std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

cRecordingTools::cRecordingTools(const std::string& folder)
    : m_Folder(folder), m_LogPath(folder + "/calls.log") {
  std::filesystem::create_directories(m_Folder);
  if (const char* previous = std::getenv("PATH")) {
    m_HadPreviousPath = true;
    m_PreviousPath = previous;
  }
  const std::string path = m_HadPreviousPath ? m_Folder + ":" + m_PreviousPath : m_Folder;
  setenv("PATH", path.c_str(), 1);
}

cRecordingTools::~cRecordingTools() {
  if (m_HadPreviousPath) {
    setenv("PATH", m_PreviousPath.c_str(), 1);
  } else {
    unsetenv("PATH");
  }
}

void cRecordingTools::Add(const std::string& name, int exitCode, const std::string& output) {
  const std::string scriptPath = m_Folder + "/" + name;
  {
    std::ofstream script(scriptPath, std::ios::trunc);
    script << "#!/bin/sh\n"
           << "{ printf '%s' " << ShellQuote(name) << "; for a in \"$@\"; do printf ' %s' \"$a\"; done; "
           << "printf '\\n'; } >> " << ShellQuote(m_LogPath) << "\n"
           << "printf '%s' " << ShellQuote(output) << "\n"
           << "exit " << exitCode << "\n";
    if (!script) ADD_FAILURE() << "cannot write the stand-in " << scriptPath;
  }
  chmod(scriptPath.c_str(), 0755);
}

std::vector<std::string> cRecordingTools::Calls() const {
  std::vector<std::string> lines;
  std::ifstream log(m_LogPath);
  // A stand-in appends its line in several writes: a line without its end is still being written.
  for (std::string line; std::getline(log, line) && !log.eof();) lines.push_back(line);
  return lines;
}

std::vector<std::string> cRecordingTools::Calls(const std::string& name) const {
  std::vector<std::string> lines;
  for (const std::string& line : Calls()) {
    if (line == name || line.rfind(name + " ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

void cRecordingTools::ClearCalls() { std::filesystem::remove(m_LogPath); }
