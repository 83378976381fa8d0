#pragma once
// The event appender of the stand-in (varloevt), run as another process as the tests need it.
#include <string>

// Path of a program built beside the running test program.
std::string ToolPath(const std::string& name);

// Runs varloevt with the arguments (a Windows command line); its exit code, -1 when it did not run.
int RunEventTool(const std::string& arguments);
