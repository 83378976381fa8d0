#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "tests/support/TempMachineRoot.h"

using Arguments = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  struct cCase {
    const char* line;
    Arguments arguments;
  } cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"sc stop varlo", {"sc", "stop", "varlo"}},
      {"  cmd   /c  x  ", {"cmd", "/c", "x"}},
      {"\"C:\\Program Files\\VARLO\\Varlo.exe\" admin", {"C:\\Program Files\\VARLO\\Varlo.exe", "admin"}},
      {"C:\\a\\b.exe \"\"", {"C:\\a\\b.exe", ""}},  // backslashes in the program name are plain
      {"p \"a b c\" d e", {"p", "a b c", "d", "e"}},
      {"p \"ab\\\"c\" \"\\\\\" d", {"p", "ab\"c", "\\", "d"}},
      {"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
      {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
      {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
      {"p a\"b\"\" c d", {"p", "ab\" c d"}},
      {"p \"unterminated arg", {"p", "unterminated arg"}},
      {"p trailing\\", {"p", "trailing\\"}},
      {"netsh advfirewall firewall add rule name=\"VARLO allow\" dir=out",
       {"netsh", "advfirewall", "firewall", "add", "rule", "name=VARLO allow", "dir=out"}},
  };
  for (const auto& entry : cases) EXPECT_EQ(entry.arguments, platform::SplitCommandLine(entry.line)) << entry.line;
}

TEST(FindProgram, LooksOnThePathWithAndWithoutExeIgnoringCase) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Windows\\System32"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Windows\\System32\\sc.exe", "#!/bin/sh\n"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Windows\\System32\\setup.cmd", "#!/bin/sh\n"));
  std::string original = std::getenv("PATH") ? std::getenv("PATH") : "";
  ASSERT_TRUE(SetEnvironmentVariableA("PATH", ("c:\\windows\\system32;" + original).c_str()));
  const std::string folder = root.Path() + "/C/Windows/System32/";
  EXPECT_EQ(folder + "sc.exe", platform::FindProgram("sc"));
  EXPECT_EQ(folder + "sc.exe", platform::FindProgram("SC.EXE"));
  EXPECT_EQ(folder + "setup.cmd", platform::FindProgram("Setup.cmd"));
  EXPECT_EQ(folder + "sc.exe", platform::FindProgram("C:\\WINDOWS\\system32\\sc"));
  EXPECT_EQ("", platform::FindProgram("setup"));
  EXPECT_EQ("", platform::FindProgram("C:\\Windows\\System32"));  // a folder is no program
  EXPECT_EQ("/bin/sh", platform::FindProgram("/bin/sh"));
  setenv("PATH", original.c_str(), 1);
}

TEST(FindProgram, SystemFoldersComeAfterThePath) {
  cTempMachineRoot root;
  ASSERT_TRUE(platform::CreateFolders("C:\\Windows\\System32"));
  ASSERT_TRUE(platform::CreateFolders("C:\\stand-ins"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Windows\\System32\\sc.exe", "#!/bin/sh\n"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\Windows\\System32\\cmd.exe", "#!/bin/sh\n"));
  ASSERT_TRUE(platform::WriteFileAtomically("C:\\stand-ins\\cmd", "#!/bin/sh\n"));
  std::string original = std::getenv("PATH") ? std::getenv("PATH") : "";
  ASSERT_TRUE(SetEnvironmentVariableA("PATH", ("C:\\stand-ins;" + original).c_str()));
  EXPECT_EQ(root.Path() + "/C/Windows/System32/sc.exe", platform::FindProgram("sc"));
  EXPECT_EQ(root.Path() + "/C/stand-ins/cmd", platform::FindProgram("cmd"));
  setenv("PATH", original.c_str(), 1);
}
