// The stand-in's tools, run as a user runs them: each answers about its use alike.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/EventTool.h"
#include "tests/support/TempMachineRoot.h"

namespace {

struct cRun {
  int exitCode = -1;
  std::string shown;  // what the redirection kept: stdout, or stderr alone
};

// Runs the tool through the shell, keeping its stdout or only its stderr.
cRun RunTool(const std::string& tool, const std::string& arguments, bool errorsOnly) {
  const std::string command = "'" + ToolPath(tool) + "' " + arguments +
                              (errorsOnly ? " 2>&1 >/dev/null" : " 2>/dev/null") + " </dev/null";
  cRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.shown.append(buffer, got);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

TEST(StandInTools, HelpGoesToStdoutAndSucceedsAWrongCallGoesToStderrAndFails) {
  cTempMachineRoot root;
  const struct {
    const char* tool;
    const char* wrongCall;
  } cases[] = {
      {"sc", "start"},
      {"cmd", "/k dir"},
      {"powershell", "get-service VARLO"},
      {"varloevt", "append --count many Application events.xml"},
      {"varloreg", "list"},
      {"varlo-install", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    const std::string usage = std::string("usage: ") + c.tool;
    const cRun help = RunTool(c.tool, "--help", false);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.shown.rfind(usage, 0), 0u) << help.shown;
    EXPECT_EQ(RunTool(c.tool, "--help", true).shown, "");

    const cRun wrong = RunTool(c.tool, c.wrongCall, true);
    EXPECT_GT(wrong.exitCode, 0);
    EXPECT_NE(wrong.shown.find(usage), std::string::npos) << wrong.shown;
    EXPECT_EQ(RunTool(c.tool, c.wrongCall, false).shown, "");
  }
}
