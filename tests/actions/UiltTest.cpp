#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "VarloService/actions/Uilt.h"
#include "common/Log.h"
#include "platform/Files.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kReadBound = 1048576;

void WriteHostFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Waits for a file that a started program writes.
bool AppearsWithin(const std::string& path, int limitMs) {
  return WaitUntil(limitMs, [&] { return !ReadHostFile(path).empty(); });
}

// A process that has ended (reaped, or a zombie nobody reaped yet).
bool HasEnded(const std::string& pidFile) {
  const std::string pid = ReadHostFile(pidFile).substr(0, ReadHostFile(pidFile).find('\n'));
  const std::string stat = ReadHostFile("/proc/" + pid + "/stat");
  if (stat.empty()) return true;
  const size_t afterName = stat.rfind(')');
  return afterName != std::string::npos && stat.compare(afterName + 2, 1, "Z") == 0;
}

class UiltTest : public ::testing::Test {
 protected:
  std::string HostPath(const std::string& name) const { return m_Root.Path() + "/" + name; }
  void SetSessions(const std::string& lines) { WriteHostFile(platform::StateFolder() + "/sessions.txt", lines); }

  cTempMachineRoot m_Root;
};

}  // namespace

TEST_F(UiltTest, ExecCmdWithoutWaitLeavesTheCommandRunning) {
  const std::string pidFile = HostPath("pid");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ExecCmd("sh -c \"echo $$ > " + pidFile + "; exec sleep 30\"", nullptr, 0), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  ASSERT_TRUE(AppearsWithin(pidFile, 20000));
  EXPECT_FALSE(HasEnded(pidFile));
  kill(std::stoi(ReadHostFile(pidFile)), SIGKILL);
}

TEST_F(UiltTest, ExecCmdTerminatesACommandThatOutlivesItsWait) {
  const std::string pidFile = HostPath("pid");
  EXPECT_EQ(ExecCmd("sh -c \"echo $$ > " + pidFile + "; exec sleep 30\"", nullptr, 2000), 0);
  ASSERT_TRUE(AppearsWithin(pidFile, 20000));
  EXPECT_TRUE(WaitUntil(20000, [&] { return HasEnded(pidFile); }));
}

TEST_F(UiltTest, ExecCmdRunsInTheWorkingFolderAndReportsAMissingProgram) {
  ASSERT_TRUE(platform::CreateFolders("C:\\work"));
  EXPECT_EQ(ExecCmd("sh -c \"pwd > where\"", "C:\\work", 10000), 0);
  EXPECT_EQ(ReadHostFile(platform::MapPath("C:\\work\\where")), platform::MapPath("C:\\work") + "\n");
  EXPECT_EQ(ExecCmd("no-such-program-anywhere /x", nullptr, 0), -1);
}

TEST_F(UiltTest, RunCommandCaptureReadsOutputLargerThanThePipeToItsEndAndKeepsItsFirstPart) {
  const std::string doneFile = HostPath("done");
  std::string output = "before:";
  const std::string command =
      "sh -c \"yes 0123456789abcdef | head -c 2000000; echo tail >&2; echo done > " + doneFile + "\"";
  EXPECT_EQ(RunCommandCapture(command, output), 0);
  ASSERT_EQ(output.size(), 7u + kCaptureKeptBytes);
  EXPECT_EQ(output.compare(0, 24, "before:0123456789abcdef\n"), 0);
  EXPECT_EQ(output.find("tail"), std::string::npos);
  EXPECT_EQ(ReadHostFile(doneFile), "done\n") << "the command did not get to the end of its output";
}

TEST_F(UiltTest, RunCommandCaptureOfASilentCommandLeavesTheTextAlone) {
  std::string output = "unchanged";
  EXPECT_EQ(RunCommandCapture("true", output), 0);
  EXPECT_EQ(output, "unchanged");
  EXPECT_EQ(RunCommandCapture("no-such-program-anywhere", output), -2);
  EXPECT_EQ(output, "unchanged");
}

// A response's command line with the values it captured runs past the bound of a server's text.
TEST_F(UiltTest, RunCommandLoggedLogsTheCommandLineUpToTheBoundOfEventText) {
  cCapturedLog log;
  const std::string builtCommand = "sh -c \"echo " + std::string(1000, 'v') + "\"";
  RunCommandLogged(builtCommand);
  EXPECT_TRUE(log.Has("*** Run Cmd(" + builtCommand + ")=0\n")) << log.Text();
  EXPECT_TRUE(log.Has("--> Result=" + std::string(1000, 'v') + "\\n\n")) << log.Text();

  const std::string longer = "true " + std::string(2 * kLoggedContentBytes, 'w');
  RunCommandLogged(longer);
  EXPECT_TRUE(log.Has("*** Run Cmd(" + longer.substr(0, kLoggedContentBytes) + "... (" +
                      std::to_string(longer.size()) + " bytes))=0\n"))
      << log.Text();
}

TEST_F(UiltTest, RunCommandCaptureTerminatesACommandAtTheLimit) {
  const std::string pidFile = HostPath("pid");
  std::string output;
  EXPECT_EQ(RunCommandCapture("sh -c \"echo started; echo $$ > " + pidFile + "; exec sleep 60\"", output), 0);
  EXPECT_EQ(output, "started\n");
  EXPECT_TRUE(HasEnded(pidFile));
}

TEST_F(UiltTest, RunCommandCaptureDoesNotWaitForProgramsThatKeepThePipeOpen) {
  std::string output;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunCommandCapture("sh -c \"sleep 30 & echo done\"", output), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kCaptureLimitMs));
  EXPECT_EQ(output, "done\n");
}

TEST_F(UiltTest, ExecUserAppStartsTheProgramInEveryActiveSessionWithAToken) {
  const std::string program = "C:\\Program Files\\VARLO\\Varlo.exe";
  const std::string calls = HostPath("calls");
  WriteHostFile(platform::MapPath(program),
                "#!/bin/sh\necho \"$VARLO_SESSION_ID $*\" >> " + calls + "\n");
  chmod(platform::MapPath(program).c_str(), 0755);
  SetSessions("1 active alice\n2 disconnected bob\n3 active carol elevated\n4 active dave notoken\n");

  EXPECT_EQ(ExecUserApp(program, "admin", nullptr), 2);
  WaitUntil(20000, [&] { return ReadHostFile(calls).size() >= 16; });
  const std::string recorded = ReadHostFile(calls);
  EXPECT_NE(recorded.find("1 admin\n"), std::string::npos) << recorded;
  EXPECT_NE(recorded.find("3 admin\n"), std::string::npos) << recorded;
  EXPECT_EQ(recorded.size(), 16u) << recorded;
}

TEST_F(UiltTest, ExecUserAppWithoutActiveSessionsOrSessionList) {
  SetSessions("1 disconnected alice\n");
  EXPECT_EQ(ExecUserApp("C:\\Program Files\\VARLO\\Varlo.exe", "admin", nullptr), 0);
  SetSessions("error 5\n");
  EXPECT_EQ(ExecUserApp("C:\\Program Files\\VARLO\\Varlo.exe", nullptr, nullptr), -1);
}

TEST_F(UiltTest, ReadFileFillsTheBufferWithTheFileAndANul) {
  cBuffer buffer;
  EXPECT_EQ(ReadFile("C:\\missing.txt", buffer, kReadBound), -1);

  WriteHostFile(platform::MapPath("C:\\empty.txt"), "");
  buffer.Allocate(4);
  buffer.Data()[0] = 'k';
  EXPECT_EQ(ReadFile("C:\\empty.txt", buffer, kReadBound), 0);
  EXPECT_EQ(buffer.Size(), 4u);
  EXPECT_EQ(buffer.Data()[0], 'k');

  WriteHostFile(platform::MapPath("C:\\ten.txt"), "0123456789");
  buffer.Allocate(100);
  EXPECT_EQ(ReadFile("C:\\ten.txt", buffer, kReadBound), 1);
  EXPECT_EQ(buffer.Size(), 100u);
  EXPECT_STREQ(buffer.Text(), "0123456789");

  WriteHostFile(platform::MapPath("C:\\cmd.txt"), "line one\r\nline two");
  cBuffer small;
  EXPECT_EQ(ReadFile("c:\\CMD.TXT", small, kReadBound), 1);
  EXPECT_EQ(small.Size(), 18u);
  EXPECT_STREQ(small.Text(), "line one\r\nline two");
}

TEST_F(UiltTest, ReadFileRefusesAFileLargerThanItsBoundBeforeAllocating) {
  const std::string path = platform::MapPath("C:\\sized.txt");
  struct {
    uint64_t size;
    int result;
  } cases[] = {{kReadBound, 1}, {kReadBound + 1, -1}, {100ull << 30, -1}};
  for (const auto& test : cases) {
    WriteHostFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(test.size)), 0);
    cBuffer buffer;
    buffer.Allocate(4);
    EXPECT_EQ(ReadFile("C:\\sized.txt", buffer, kReadBound), test.result) << test.size;
    EXPECT_EQ(buffer.Size(), test.result == 1 ? test.size : 4u) << test.size;
  }
}

TEST_F(UiltTest, ReadFileOpensNoFolderAndNoPipe) {
  ASSERT_TRUE(platform::CreateFolders("C:\\Windows"));
  ASSERT_EQ(mkfifo(platform::MapPath("C:\\pipe").c_str(), 0600), 0);
  cBuffer buffer;
  EXPECT_EQ(ReadFile("C:\\Windows", buffer, kReadBound), -1);
  EXPECT_EQ(ReadFile("C:\\pipe", buffer, kReadBound), -1);
  EXPECT_EQ(buffer.Size(), 0u);
}

TEST_F(UiltTest, PowerOffIsRecordedOrRefused) {
  EXPECT_EQ(PowerOff(), 0);
  EXPECT_FALSE(ReadHostFile(platform::StateFolder() + "/shutdown.log").empty());

  WriteHostFile(platform::StateFolder() + "/shutdown-fails", "");
  EXPECT_EQ(PowerOff(), -4);

  WriteHostFile(platform::StateFolder() + "/denied-privileges", "SeShutdownPrivilege\n");
  EXPECT_EQ(PowerOff(), -3);
}
