#include "tests/support/InstalledAgent.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "common/Nvm.h"
#include "platform/Files.h"
#include "tests/support/WaitUntil.h"

namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

}  // namespace

cInstalledAgent::cInstalledAgent() {
  const char* path = std::getenv("PATH");
  m_PreviousPath = path ? path : "";
  PrependPath(platform::MapPath(platform::kSystemFolder));
  std::string adapters = platform::StateFolder() + "/adapters.txt";
  platform::CreateFolders(platform::StateFolder());
  std::ofstream(adapters) << "eth0 up 0a:00:00:00:00:01 " << kAddress << " gateway 10.1.2.1\n";
  cRunResult installed =
      Run(Quoted(std::string(VARLO_BIN_DIR) + "/varlo-install") + " " + Quoted(VARLO_BIN_DIR));
  EXPECT_EQ(installed.exitCode, 0) << installed.output;
}

cInstalledAgent::~cInstalledAgent() {
  platform::cServiceState state = State();
  if (state.processId > 0) {
    platform::StopServiceByName("VARLO", true, 20000);
    WaitForExit(state.processId);
  }
  setenv("PATH", m_PreviousPath.c_str(), 1);
}

void cInstalledAgent::PrependPath(const std::string& folder) {
  const char* path = std::getenv("PATH");
  setenv("PATH", (folder + ":" + (path ? path : "")).c_str(), 1);
}

cRunResult cInstalledAgent::Run(const std::string& commandLine) const {
  cRunResult result;
  FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char chunk[512];
  size_t read;
  while ((read = fread(chunk, 1, sizeof(chunk), pipe)) > 0) result.output.append(chunk, read);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

cRunResult cInstalledAgent::Service(const std::string& arguments) const {
  return Run(Quoted(platform::MapPath("C:\\Program Files\\VARLO\\VarloService.exe")) +
             (arguments.empty() ? "" : " " + arguments));
}

platform::cServiceState cInstalledAgent::State() const {
  platform::cServiceState state;
  platform::QueryServiceState("VARLO", state);
  return state;
}

bool cInstalledAgent::WaitForState(DWORD state, int timeoutMs) const {
  return WaitUntil(timeoutMs, [&] { return State().state == state; });
}

bool cInstalledAgent::WaitForExit(int processId, int timeoutMs) const {
  return WaitUntil(timeoutMs, [&] {
    std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
    std::string line;
    return !std::getline(stat, line) || line.find(") Z") != std::string::npos;
  });
}

std::vector<std::string> cInstalledAgent::Reports() const {
  std::vector<std::string> reports;
  for (std::string line : platform::RecordedStatusReports("VARLO"))
    reports.push_back(line.substr(0, line.rfind(" pid=")));
  return reports;
}

std::string cInstalledAgent::Log() const {
  std::string text;
  platform::ReadWholeFile("C:\\Program Files\\VARLO\\logs\\event.log", text);
  return text;
}

void cInstalledAgent::SetSetting(const std::string& subKey, const char* name,
                                 const std::string& text) const {
  cNvm settings(nullptr, 0);
  settings.Open(1, subKey.empty() ? nullptr : subKey.c_str());
  settings.SetString(name, text);
}

void cInstalledAgent::SetSetting(const char* name, DWORD value) const {
  NvmVarlo settings(1);
  settings.SetDword(name, value);
}

DWORD cInstalledAgent::Setting(const char* name, DWORD fallback) const {
  NvmVarlo settings(0);
  uint32_t value = fallback;
  settings.GetDword(name, value);
  return value;
}
