#include "tests/support/EventTool.h"

#include <unistd.h>

#include "platform/Process.h"

std::string ToolPath(const std::string& name) {
  char self[4096] = {};
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
  return path.substr(0, path.rfind('/') + 1) + name;
}

int RunEventTool(const std::string& arguments) {
  platform::cProcess process;
  platform::cProcessOptions options;
  options.applicationName = ToolPath("varloevt");
  options.commandLine = "varloevt " + arguments;
  if (process.Start(options) != ERROR_SUCCESS || !process.Wait(INFINITE)) return -1;
  DWORD code = 0;
  process.GetExitCode(code);
  return static_cast<int>(code);
}
