// What a user runs by hand, run as a user runs it: each program answers about its use alike.
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

// Runs the program through the shell, keeping its stdout or only its stderr.
cRun RunProgram(const std::string& path, const std::string& arguments, bool errorsOnly) {
  const std::string command = "'" + path + "' " + arguments +
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

struct cProgram {
  std::string name;  // as its usage and its complaints name it
  std::string path;
  const char* wrongCall;
  const char* why;
};

cProgram Tool(const char* name, const char* wrongCall, const char* why) {
  return {name, ToolPath(name), wrongCall, why};
}

cProgram Script(const char* name, const char* wrongCall, const char* why) {
  return {name, std::string(VARLO_SOURCE_DIR) + "/" + name, wrongCall, why};
}

}  // namespace

TEST(Usage, HelpGoesToStdoutAndSucceedsAWrongCallSaysWhyOnStderrAndFails) {
  cTempMachineRoot root;
  const cProgram programs[] = {
      Tool("sc", "start", "a command and a service name are needed"),
      Tool("cmd", "/k dir", "missing /c"),
      Tool("powershell", "get-service VARLO", "only stop-service and start-service"),
      Tool("varloevt", "append --count many Application events.xml", "--count needs a number"),
      Tool("varloreg", "list", "wrong number of arguments"),
      Tool("varlo-install", "", "one folder of built programs is needed"),
      Tool("varlo-install", "--bogus", "unknown option --bogus"),
      Tool("varlo-demo-host", "--every x", "--every needs a whole number"),
      Tool("varlo-demo-servers", "", "one account key is needed"),
      Script("scripts/build", "", "a build name is needed"),
      Script("scripts/setup", "now", "takes no arguments"),
      Script("scripts/test", "now", "takes no arguments"),
      Script("scripts/run", "--build /nonexistent", "--build: there is no folder /nonexistent"),
      Script("scripts/demo-check", "", "one build folder is needed"),
      Script("scripts/fuzz", "-j", "-j needs a number of jobs"),
      Script("scripts/screenshots", "now", "takes no arguments"),
      Script("bench/run", "--benchmark_min_time=0.1", "unknown option --benchmark_min_time=0.1"),
  };
  for (const cProgram& program : programs) {
    SCOPED_TRACE(program.name + " " + program.wrongCall);
    const std::string usage = "usage: " + program.name;
    const cRun help = RunProgram(program.path, "--help", false);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.shown.rfind(usage, 0), 0u) << help.shown;
    EXPECT_EQ(RunProgram(program.path, "--help", true).shown, "");

    const cRun wrong = RunProgram(program.path, program.wrongCall, true);
    EXPECT_GT(wrong.exitCode, 0);
    EXPECT_EQ(wrong.shown.rfind(program.name + ": " + program.why, 0), 0u) << wrong.shown;
    EXPECT_NE(wrong.shown.find(usage), std::string::npos) << wrong.shown;
    EXPECT_EQ(RunProgram(program.path, program.wrongCall, false).shown, "");
  }
}
