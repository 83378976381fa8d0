// The installed service told by "VarloService cmd" to run a file that is no command file: a
// folder, a pipe nobody writes to, or a command whose output is huge.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

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

TEST_F(CommandFileTest, AFolderOrAPipeIsNotReadAndTheServiceRunsOn) {
  const std::string pipe = m_Agent.Root() + "/pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_TRUE(Served("C:\\Windows", "ReadFile(C:\\Windows)=-1")) << m_Agent.Log();
  EXPECT_TRUE(Served(pipe, "ReadFile(" + pipe + ")=-1")) << m_Agent.Log();
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
  // Still reading its slot.
  EXPECT_TRUE(Served("C:\\missing.txt", "ReadFile(C:\\missing.txt)=-1")) << m_Agent.Log();
}

TEST_F(CommandFileTest, AHugeOutputIsLoggedAsItsFirstPartWithinTheLogRotation) {
  const std::string command = m_Agent.Root() + "/huge.txt";
  ASSERT_TRUE(platform::WriteFileAtomically(
      command, R"(sh -c "echo first; head -c 52428800 /dev/zero | tr '\0' a")"));
  ASSERT_TRUE(Served(command, "--> Result=first\n")) << m_Agent.Log().substr(0, 4096);
  const std::string log = m_Agent.Log();
  EXPECT_NE(log.find("RunCommandCapture() kept the first 65536 bytes of 52428806"),
            std::string::npos);
  const size_t kept = log.find("--> Result=first\n") + 17;
  EXPECT_EQ(log.find_first_not_of('a', kept) - kept, 65530u)
      << "not the first 64 KiB of the output";
  EXPECT_LE(platform::FileSize(kLogPath), kLogRotationBytes);
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace
