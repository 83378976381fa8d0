#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/Files.h"
#include "platform/Sessions.h"
#include "tests/support/TempMachineRoot.h"

namespace {

// Reads everything the child writes until it closes its end.
std::string ReadAll(platform::cProcess& process, DWORD timeoutMs = 10000) {
  std::string output;
  char buffer[4096];
  for (;;) {
    long got = process.ReadOutput(buffer, sizeof buffer, timeoutMs);
    if (got <= 0) break;
    output.append(buffer, static_cast<size_t>(got));
  }
  return output;
}

std::string RunCaptured(const std::string& commandLine, const std::string& folder = "",
                const platform::cSessionInfo* session = nullptr) {
  platform::cProcess process;
  platform::cProcessOptions options;
  options.commandLine = commandLine;
  options.workingFolder = folder;
  options.captureOutput = true;
  options.session = session;
  EXPECT_EQ(ERROR_SUCCESS, process.Start(options)) << commandLine;
  std::string output = ReadAll(process);
  EXPECT_TRUE(process.Wait(10000));
  return output;
}

}  // namespace

TEST(Process, ReportsTheExitCode) {
  platform::cProcess process;
  platform::cProcessOptions options;
  options.commandLine = "/bin/sh -c \"exit 3\"";
  ASSERT_EQ(ERROR_SUCCESS, process.Start(options));
  ASSERT_TRUE(process.Wait(INFINITE));
  DWORD code = 0;
  ASSERT_TRUE(process.GetExitCode(code));
  EXPECT_EQ(3u, code);
}

TEST(Process, CapturesMoreThanOneMebibyteWhileTheChildRuns) {
  // Output and error into one pipe, 3 MiB in all: the child would block on a full pipe if
  // nobody read it before it ends.
  std::string output = RunCaptured("/bin/sh -c \"head -c 2097152 /dev/zero; head -c 1048576 /dev/zero >&2\"");
  EXPECT_EQ(3u * 1048576u, output.size());
}

TEST(Process, AChildOutlivingItsWaitIsTerminatedWithTheGivenCode) {
  platform::cProcess process;
  platform::cProcessOptions options;
  options.commandLine = "/bin/sleep 30";
  options.captureOutput = true;
  ASSERT_EQ(ERROR_SUCCESS, process.Start(options));
  char byte;
  EXPECT_EQ(-1, process.ReadOutput(&byte, 1, 50));
  EXPECT_EQ(ERROR_SEM_TIMEOUT, GetLastError());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(process.Wait(100));
  DWORD code = 0;
  ASSERT_TRUE(process.GetExitCode(code));
  EXPECT_EQ(STILL_ACTIVE, code);
  EXPECT_TRUE(process.Terminate(0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_TRUE(process.GetExitCode(code));
  EXPECT_EQ(0u, code);
  EXPECT_EQ(0, process.ReadOutput(&byte, 1, 1000));  // its end of the pipe is gone

  platform::cProcess ended;
  options.commandLine = "/bin/sh -c \"exit 4\"";
  ASSERT_EQ(ERROR_SUCCESS, ended.Start(options));
  ASSERT_TRUE(ended.Wait(10000));
  EXPECT_TRUE(ended.Terminate(0));  // too late: its own code stays
  ASSERT_TRUE(ended.GetExitCode(code));
  EXPECT_EQ(4u, code);
}

TEST(Process, ChildGetsOnlyTheStandardDescriptorsAndAnEmptyInput) {
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(leaked, 3);
  EXPECT_EQ("0\n1\n2\n", RunCaptured("/bin/sh -c \"ls /proc/$$/fd\""));
  close(leaked);
  EXPECT_EQ("", RunCaptured("/bin/cat"));
}

TEST(Process, CapturesAlsoInAParentWithoutStandardDescriptors) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(0);
    close(1);
    close(2);
    platform::cProcess process;
    platform::cProcessOptions options;
    options.commandLine = "/bin/echo captured";
    options.captureOutput = true;
    if (process.Start(options) != ERROR_SUCCESS) _exit(2);
    char buffer[64];
    long got = process.ReadOutput(buffer, sizeof buffer, 10000);
    _exit(got == 9 && std::string(buffer, 9) == "captured\n" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(Process, RunsInTheWorkingFolderAndReportsStartFailures) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Program Files\\VARLO\\temp"));
  EXPECT_EQ(root.Path() + "/C/Program Files/VARLO/temp\n", RunCaptured("/bin/pwd", "c:\\program files\\varlo\\TEMP"));

  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Program Files\\VARLO\\data.txt", "not a program"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Program Files\\VARLO\\text.exe", "not a program"));
  ASSERT_EQ(0, chmod((root.Path() + "/C/Program Files/VARLO/text.exe").c_str(), 0755));
  struct cFailure {
    const char* commandLine;
    const char* folder;
    DWORD error;
  } failures[] = {
      {"no-such-program-anywhere", "", ERROR_FILE_NOT_FOUND},
      {"", "", ERROR_INVALID_PARAMETER},
      {"/bin/pwd", "C:\\missing", ERROR_DIRECTORY},
      {"\"C:\\Program Files\\VARLO\\data.txt\"", "", ERROR_ACCESS_DENIED},
      {"\"C:\\Program Files\\VARLO\\text\"", "", ERROR_BAD_EXE_FORMAT},
  };
  for (const auto& failure : failures) {
    platform::cProcess process;
    platform::cProcessOptions options;
    options.commandLine = failure.commandLine;
    options.workingFolder = failure.folder;
    EXPECT_EQ(failure.error, process.Start(options)) << failure.commandLine;
    EXPECT_EQ(failure.error, GetLastError());
  }
}

TEST(Process, ApplicationNameIsThePathAndTheCommandLineTheArguments) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Tools"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Tools\\show.exe", "#!/bin/sh\necho \"$0|$1|$2\"\n"));
  ASSERT_EQ(0, chmod((root.Path() + "/C/Tools/show.exe").c_str(), 0755));
  platform::cProcess process;
  platform::cProcessOptions options;
  options.applicationName = "C:\\tools\\SHOW";
  options.captureOutput = true;
  ASSERT_EQ(ERROR_SUCCESS, process.Start(options));
  EXPECT_EQ(root.Path() + "/C/Tools/show.exe||\n", ReadAll(process));
  EXPECT_EQ(root.Path() + "/C/Tools/show.exe|a b|\n", RunCaptured("\"C:\\Tools\\show.exe\" \"a b\""));
}

TEST(Process, StartedInASessionTheChildKnowsItsSession) {
  platform::cSessionInfo session;
  session.id = 2;
  session.user = "alice";
  session.elevated = true;
  std::string environment = RunCaptured("/usr/bin/env", "", &session);
  EXPECT_NE(std::string::npos, environment.find("VARLO_SESSION_ID=2\n"));
  EXPECT_NE(std::string::npos, environment.find("VARLO_SESSION_USER=alice\n"));
  EXPECT_NE(std::string::npos, environment.find("VARLO_SESSION_ELEVATED=1\n"));
}
