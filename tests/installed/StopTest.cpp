// A stop stops: while the web-log worker passes over an access-log line of many GB, a stop ends
// the worker before STOPPED is told, the process ends with it, and a start right after the stop
// runs the service again, round after round.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "VarloService/weblog/WebLogSvc.h"
#include "platform/Files.h"
#include "tests/installed/InstalledFixture.h"
#include "tests/support/WaitUntil.h"
#include "tests/weblog/WebModuleStandIn.h"

namespace {

constexpr int kRounds = 10;
// Far more than the worker passes over in the time a round takes, also in an optimised build.
constexpr uintmax_t kSparseLineBytes = 200ull << 30;

// The text after the last occurrence of the marker in the log, up to the end of its line.
std::string LastValue(const std::string& log, const std::string& marker) {
  const size_t at = log.rfind(marker);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return log.substr(start, log.find('\n', start) - start);
}

// How far a process has read in a file (host path): the furthest position of the descriptors it
// holds on it; -1 when it holds none.
int64_t ReadPosition(int processId, const std::string& file) {
  const std::string process = "/proc/" + std::to_string(processId);
  int64_t furthest = -1;
  std::error_code error;
  for (const auto& descriptor : std::filesystem::directory_iterator(process + "/fd", error)) {
    if (std::filesystem::read_symlink(descriptor.path(), error) != file) continue;
    std::ifstream info(process + "/fdinfo/" + descriptor.path().filename().string());
    std::string field;
    int64_t position = -1;
    while (info >> field && field != "pos:") {
    }
    if (info >> position) furthest = std::max(furthest, position);
  }
  return furthest;
}

class StopTest : public cInstalledTest {
 protected:
  void SetUp() override {
    cInstalledTest::SetUp();
    m_Server.Script("GET", "/pserver/agent/conf/weblog",
                    {200, R"({"returnCode":"0","result":{"isUpload":"1"}})"});
  }
};

TEST_F(StopTest, AStopWhileALineOfManyGBIsPassedOverEndsTheProcessAndAStartRightAfterRunsTheService) {
  StartService();
  for (int round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(WaitForLog("Start WebLog=", static_cast<size_t>(round))) << m_Agent.Log();
    // The module writes a line that has no line feed, a sparse file of zeros so far.
    const std::string file = LastValue(m_Agent.Log(), "Start WebLog=");
    ASSERT_TRUE(cWebModuleStandIn::AppendRawTo(file, "")) << file;
    const std::string host = platform::MapPath(file);
    const int64_t lineStart = static_cast<int64_t>(std::filesystem::file_size(host));
    std::filesystem::resize_file(host, static_cast<uintmax_t>(lineStart) + kSparseLineBytes);
    const int stopped = m_Agent.State().processId;
    ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] {
      return ReadPosition(stopped, std::filesystem::canonical(host)) >
             lineStart + static_cast<int64_t>(cWebLogSvc::kLongestLine);
    })) << "the worker is not passing over the line\n" << m_Agent.Log();

    const cRunResult stop = m_Agent.Run("sc.exe stop VARLO");
    ASSERT_EQ(stop.exitCode, 0) << stop.output;
    const cRunResult start = m_Agent.Run("sc.exe start VARLO");
    ASSERT_EQ(start.exitCode, 0) << start.output << m_Agent.Log();
    EXPECT_TRUE(m_Agent.WaitForExit(stopped, 0)) << "the stopped service's process runs on";
    ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING)) << m_Agent.Log();
    EXPECT_NE(m_Agent.State().processId, stopped);
  }
  // Each run's worker ended before its service told STOPPED, which follows "+++".
  const std::string log = m_Agent.Log();
  size_t at = 0;
  for (int round = 1; round <= kRounds; ++round) {
    const size_t workerEnd = log.find("cWebLogSvc::SvcLoop(0) exit", at);
    const size_t stopped = log.find("+++", at);
    ASSERT_NE(stopped, std::string::npos) << "round " << round << "\n" << log;
    EXPECT_LT(workerEnd, stopped) << "round " << round << ": the worker ran on after STOPPED\n" << log;
    at = stopped + 1;
  }
}

}  // namespace
