#include "tests/support/EventTool.h"

#include <unistd.h>

#include "platform/Process.h"

std::string RenderedEvent(const std::string& channel, const std::string& provider, const std::string& eventId,
                          const std::vector<std::pair<std::string, std::string>>& data, unsigned number) {
  std::string xml =
      "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='" + provider +
      "' Guid='{54849625-5478-4994-a5ba-3e3b0328c30d}'/><EventID>" + eventId +
      "</EventID><Version>0</Version><Level>0</Level><TimeCreated SystemTime='2026-12-10T09:00:00.0000000Z'/>"
      "<EventRecordID>" + std::to_string(number) + "</EventRecordID><Channel>" + channel +
      "</Channel><Computer>host</Computer><Security/></System><EventData>";
  for (const auto& entry : data) xml += "<Data Name='" + entry.first + "'>" + entry.second + "</Data>";
  return xml + "</EventData></Event>";
}

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
