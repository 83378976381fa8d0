// varlo-demo-host: what the demonstration host does while the agent watches it. In the machine
// root of $VARLO_ROOT it adds, every period, one Windows event to the event log and one line to
// the web-server module's hourly access log, each told on standard output, until interrupted.
#include <jansson.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "platform/Errors.h"
#include "platform/EventLog.h"
#include "platform/SystemCounters.h"
#include "tests/demo/DemoScenario.h"
#include "platform/tools/ToolUsage.h"
#include "tests/demo/DemoTool.h"
#include "tests/weblog/WebModuleStandIn.h"

namespace {

constexpr char kProgram[] = "varlo-demo-host";
constexpr char kUsage[] =
    "usage: varlo-demo-host [--every SECONDS]\n"
    "Adds to the machine root of $VARLO_ROOT, every SECONDS (15 unless given), a Windows event\n"
    "and a line of the web-server module's access log, and tells each, until interrupted.\n";
constexpr int kDefaultPeriodSeconds = 15;
constexpr long kLongestPeriodSeconds = 86400;

// A pace of whole seconds, from one to a day.
bool ParsePeriod(const char* text, int& seconds) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > kLongestPeriodSeconds) return false;
  seconds = static_cast<int>(value);
  return true;
}

std::string RenderedEvent(const demo::cHostEvent& event, unsigned recordId) {
  char created[40];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%S.000000000Z", &utc);
  std::string xml =
      "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider "
      "Name='" +
      std::string(event.provider) + "'/><EventID>" + std::to_string(event.eventId) +
      "</EventID><TimeCreated SystemTime='" + created + "'/><EventRecordID>" +
      std::to_string(recordId) + "</EventRecordID><Channel>" + event.channel +
      "</Channel><Computer>" + platform::HostName() + "</Computer></System><EventData>";
  for (const auto& [name, value] : event.data)
    xml += (name.empty() ? "<Data>" : "<Data Name='" + name + "'>") + value + "</Data>";
  return xml + "</EventData></Event>";
}

bool WriteAccessLogLine(const demo::cAccessLogLine& line) {
  std::unique_ptr<json_t, decltype(&json_decref)> record(
      cWebModuleStandIn::RecordFromCombined(line.combined), &json_decref);
  if (!record) return false;
  if (line.contentType) {
    json_object_set_new(record.get(), "Req-Content-Type", json_string(line.contentType));
    json_object_set_new(record.get(), "Post-body", json_string(line.body));
  }
  std::unique_ptr<char, decltype(&free)> text(
      json_dumps(record.get(), JSON_COMPACT | JSON_PRESERVE_ORDER), &free);
  return text && cWebModuleStandIn::AppendRaw(std::string(text.get()) + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  int periodSeconds = kDefaultPeriodSeconds;
  if (AsksForHelp(argc, argv)) return ShowUsage(kUsage);
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument != "--every") return UsageError(kProgram, "unknown option " + argument, kUsage, 2);
    if (i + 1 == argc || !ParsePeriod(argv[++i], periodSeconds))
      return UsageError(kProgram, "--every needs a whole number of seconds from 1 to 86400", kUsage, 2);
  }
  if (!demo::MachineRootNamed(kProgram)) return 2;
  demo::StopOnSignals();

  const auto events = demo::HostEvents();
  const auto lines = demo::AccessLogLines();
  for (unsigned round = 0; demo::Pause(periodSeconds * 1000); ++round) {
    const demo::cHostEvent& event = events[round % events.size()];
    if (platform::AppendEvents(event.channel, {RenderedEvent(event, round + 1)}))
      demo::Tell("[host]", event.channel, event.told);
    else
      demo::Tell("[host]", event.channel,
                 "cannot add an event: Windows error " + std::to_string(GetLastError()));
    const demo::cAccessLogLine& line = lines[round % lines.size()];
    demo::Tell("[host]", "web",
               WriteAccessLogLine(line) ? line.told : "cannot write the access log");
  }
  return 0;
}
