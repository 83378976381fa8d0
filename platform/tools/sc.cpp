// Stand-in of the service control tool: start, stop and query of a registered service.
#include <cstdio>
#include <string>

#include "platform/NoCase.h"
#include "platform/ServiceControl.h"
#include "platform/tools/ToolUsage.h"

namespace {

constexpr DWORD kWaitMs = 30000;

const char kUsage[] =
    "usage: sc start <service>   start a registered service (answers 1056 while it runs)\n"
    "       sc stop <service>    stop it\n"
    "       sc query <service>   its state\n"
    "The stand-in of the service control tool, for the machine root in VARLO_ROOT.\n";

int Usage(const std::string& why) { return UsageError("sc", why, kUsage, 1); }

int Failed(const char* verb, DWORD error) {
  const char* text =
      error == ERROR_SERVICE_DOES_NOT_EXIST
          ? "The specified service does not exist as an installed service."
      : error == ERROR_SERVICE_ALREADY_RUNNING ? "An instance of the service is already running."
      : error == ERROR_SERVICE_NOT_ACTIVE      ? "The service has not been started."
      : error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL
          ? "The service cannot accept control messages at this time."
      : error == ERROR_SERVICE_REQUEST_TIMEOUT
          ? "The service did not respond to the start or control request in a timely fashion."
      : error == ERROR_BADDB ? "The configuration registry database is corrupt."
          : "The service program could not be started.";
  std::fprintf(stderr, "[SC] %s FAILED %u:\n\n%s\n", verb, error, text);
  return static_cast<int>(error);
}

int PrintState(const std::string& name) {
  platform::cServiceState state;
  DWORD result = platform::QueryServiceState(name, state);
  if (result != ERROR_SUCCESS) return Failed("EnumQueryServicesStatus:OpenService", result);
  std::printf("\nSERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : %-2u WIN32_OWN_PROCESS\n", SERVICE_WIN32_OWN_PROCESS);
  std::printf("        STATE              : %-2u %s\n", state.state,
              platform::ServiceStateName(state.state));
  std::printf("        WIN32_EXIT_CODE    : 0  (0x0)\n");
  std::printf("        CHECKPOINT         : 0x%x\n", state.checkPoint);
  std::printf("        WAIT_HINT          : 0x%x\n", state.waitHint);
  std::printf("        PID                : %d\n", state.processId);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) return ShowUsage(kUsage);
  if (argc != 3) return Usage("a command and a service name are needed");
  const std::string verb = argv[1];
  const std::string name = argv[2];
  if (platform::EqualNoCase(verb, "query")) return PrintState(name);
  if (platform::EqualNoCase(verb, "start")) {
    DWORD result = platform::StartServiceByName(name, kWaitMs);
    return result == ERROR_SUCCESS ? PrintState(name) : Failed("StartService", result);
  }
  if (platform::EqualNoCase(verb, "stop")) {
    DWORD result = platform::StopServiceByName(name, false, kWaitMs);
    return result == ERROR_SUCCESS ? PrintState(name) : Failed("ControlService", result);
  }
  return Usage("unknown command " + verb);
}
