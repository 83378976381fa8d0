// The installed service told by "VarloService cmd" to run a file that is no command file (a
// folder, a pipe nobody writes to, a file larger than any command file) or a command whose output
// is binary or huge.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/Log.h"
#include "platform/Files.h"
#include "tests/support/InstalledAgent.h"
#include "tests/support/WaitUntil.h"

namespace {

constexpr int64_t kLogRotationBytes = 1048576;
constexpr char kLogPath[] = "C:\\Program Files\\VARLO\\logs\\event.log";

class CommandFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cRunResult started = m_Agent.Run("sc.exe start VARLO");
    ASSERT_EQ(started.exitCode, 0) << started.output;
    ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING)) << m_Agent.Log();
  }
  // Sends the command and waits for the log line that its handling ends with.
  bool Served(const std::string& path, const std::string& lastLine) {
    cRunResult sent = m_Agent.Service("cmd '" + path + "'");
    EXPECT_EQ(sent.exitCode, 0) << sent.output;
    return WaitUntil(60000, [&] { return m_Agent.Log().find(lastLine) != std::string::npos; });
  }

  cInstalledAgent m_Agent;
};

TEST_F(CommandFileTest, AFolderAPipeOrAFileNoCommandFileReachesIsNotReadAndTheServiceRunsOn) {
  const std::string pipe = m_Agent.Root() + "/pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  // Sparse: its size takes no disk.
  const std::string huge = m_Agent.Root() + "/huge.txt";
  ASSERT_TRUE(platform::WriteFileAtomically(huge, ""));
  ASSERT_EQ(truncate(huge.c_str(), 100ll << 30), 0);
  EXPECT_TRUE(Served("C:\\Windows", "ReadFile(C:\\Windows)=-1")) << m_Agent.Log();
  EXPECT_TRUE(Served(pipe, "ReadFile(" + pipe + ")=-1")) << m_Agent.Log();
  EXPECT_TRUE(Served(huge, "ReadFile(" + huge + ")=-1")) << m_Agent.Log();
  EXPECT_NE(m_Agent.Log().find(huge + " refused: 107374182400 bytes, more than 1048576"), std::string::npos)
      << m_Agent.Log();
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
  // Still reading its slot.
  EXPECT_TRUE(Served("C:\\missing.txt", "ReadFile(C:\\missing.txt)=-1")) << m_Agent.Log();
}

TEST_F(CommandFileTest, OutputIsLoggedEscapedAndAHugeOneAsItsFirstPartWithinTheLogRotation) {
  const std::string binary = m_Agent.Root() + "/binary.txt";
  ASSERT_TRUE(platform::WriteFileAtomically(binary, R"(sh -c "printf 'nul\000byte\033[31m'")"));
  EXPECT_TRUE(Served(binary, "--> Result=nul\\x00byte\\x1b[31m\n")) << m_Agent.Log();

  const std::string command = m_Agent.Root() + "/output.txt";
  ASSERT_TRUE(platform::WriteFileAtomically(
      command, R"(sh -c "echo first; head -c 52428800 /dev/zero | tr '\0' a")"));
  ASSERT_TRUE(Served(command, "--> Result=first\\n")) << m_Agent.Log().substr(0, 4096);
  const std::string log = m_Agent.Log();
  EXPECT_NE(log.find("RunCommandCapture() kept the first 65536 bytes of 52428806"),
            std::string::npos);
  const std::string logged = "--> Result=first\\n" +
                             std::string(kLoggedContentBytes - std::string("first\\n").size(), 'a') +
                             "... (65536 bytes)\n";
  EXPECT_NE(log.find(logged), std::string::npos) << "not the first part of the output, cut and told";
  EXPECT_EQ(log.find('\0'), std::string::npos);
  EXPECT_LE(platform::FileSize(kLogPath), kLogRotationBytes);
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace
