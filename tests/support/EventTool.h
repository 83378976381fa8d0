#pragma once
// Events as the stand-in renders them, and its event appender (varloevt), run as another process
// as the tests need it.
#include <string>
#include <utility>
#include <vector>

// A rendered event of the given channel, provider and id, with EventData entries as
// "Name", "value" pairs; number goes into EventRecordID so that events can be told apart.
std::string RenderedEvent(const std::string& channel, const std::string& provider, const std::string& eventId,
                          const std::vector<std::pair<std::string, std::string>>& data, unsigned number);

// Path of a program built beside the running test program.
std::string ToolPath(const std::string& name);

// Runs varloevt with the arguments (a Windows command line); its exit code, -1 when it did not run.
int RunEventTool(const std::string& arguments);
