// VarloService: with arguments the command line, without them the Windows service "VARLO".
#include <cstdio>

#include "VarloService/cli/Cli.h"
#include "VarloService/service/VarloService.h"
#include "platform/ServiceControl.h"

int main(int argc, char** argv) {
  if (argc > 1) return CliMain(argc, argv);
  char serviceName[] = "VARLO";
  const SERVICE_TABLE_ENTRYA table[] = {{serviceName, cVarloService::Loop}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(table)) return 0;
  DWORD error = GetLastError();
  // The host keeps only 8 bits of an exit code, so the error is also told in words.
  std::fprintf(stderr, "VarloService: not started by the service manager (error %u)\n", error);
  return static_cast<int>(error);
}
