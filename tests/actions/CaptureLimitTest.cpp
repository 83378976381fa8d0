// RunCommandCapture keeps reading a command that is still writing until its limit, and only then
// terminates it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "VarloService/actions/Uilt.h"
#include "tests/support/TempMachineRoot.h"

namespace {

std::string ReadHostFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

bool Running(const std::string& pid) {
  const std::string stat = ReadHostFile("/proc/" + pid + "/stat");
  const size_t afterName = stat.rfind(')');
  return afterName != std::string::npos && stat.compare(afterName + 2, 1, "Z") != 0;
}

}  // namespace

TEST(CaptureLimit, OutputWrittenLateIsKeptAndTheCommandIsTerminatedNotBeforeTheLimit) {
  cTempMachineRoot root;
  const std::string pidFile = root.Path() + "/pid";
  std::string output;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunCommandCapture("sh -c \"echo $$ > " + pidFile + "; echo early; sleep 4; echo late; exec sleep 60\"",
                              output),
            0);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(output, "early\nlate\n");
  EXPECT_GE(elapsed, std::chrono::milliseconds(kCaptureLimitMs)) << "terminated before its limit";
  const std::string pid = ReadHostFile(pidFile).substr(0, ReadHostFile(pidFile).find('\n'));
  ASSERT_FALSE(pid.empty());
  EXPECT_FALSE(Running(pid)) << "still running after the call";
}
