// Stand-in of PowerShell for the agent's own service commands: "stop-service <name>" and
// "start-service <name>" (optionally after "-ep bypass"), each waiting as the real cmdlets do.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/NoCase.h"
#include "platform/ServiceControl.h"
#include "platform/tools/ToolUsage.h"

namespace {

constexpr DWORD kWaitMs = 60000;

const char kUsage[] =
    "usage: powershell [-ep bypass] stop-service <service>    stop a registered service and wait\n"
    "       powershell [-ep bypass] start-service <service>   start it and wait until it runs\n"
    "The stand-in of PowerShell for the agent's own service, for the machine root in VARLO_ROOT.\n";

int Refuse() {
  return UsageError("powershell", "only stop-service and start-service are supported", kUsage, 1);
}

bool WaitUntilRunning(const std::string& name) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    platform::cServiceState state;
    if (platform::QueryServiceState(name, state) != ERROR_SUCCESS) return false;
    if (state.state == SERVICE_RUNNING) return true;
    if (state.state == SERVICE_STOPPED || std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) return ShowUsage(kUsage);
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.size() >= 2 && (platform::EqualNoCase(words[0], "-ep") ||
                            platform::EqualNoCase(words[0], "-ExecutionPolicy"))) {
    words.erase(words.begin(), words.begin() + 2);
  }
  if (words.size() != 2) return Refuse();
  const std::string& name = words[1];
  DWORD result;
  if (platform::EqualNoCase(words[0], "stop-service")) {
    result = platform::StopServiceByName(name, true, kWaitMs);
    if (result == ERROR_SERVICE_NOT_ACTIVE) result = ERROR_SUCCESS;
  } else if (platform::EqualNoCase(words[0], "start-service")) {
    result = platform::StartServiceByName(name, kWaitMs);
    if (result == ERROR_SERVICE_ALREADY_RUNNING) result = ERROR_SUCCESS;
    if (result == ERROR_SUCCESS && !WaitUntilRunning(name)) result = ERROR_SERVICE_REQUEST_TIMEOUT;
  } else {
    return Refuse();
  }
  if (result != ERROR_SUCCESS) {
    std::fprintf(stderr, "%s: service '%s' failed with error %u\n", words[0].c_str(), name.c_str(),
                 result);
    return 1;
  }
  return 0;
}
