#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "tests/support/TempMachineRoot.h"

TEST(Environment, LengthProtocolAsWindows) {
  ASSERT_TRUE(SetEnvironmentVariableA("VarloProbe", "7z"));
  EXPECT_EQ(3u, GetEnvironmentVariableA("VarloProbe", nullptr, 0));  // needed size with the NUL
  char small[2];
  EXPECT_EQ(3u, GetEnvironmentVariableA("VarloProbe", small, sizeof small));
  char buffer[8];
  EXPECT_EQ(2u, GetEnvironmentVariableA("VARLOPROBE", buffer, sizeof buffer));  // names ignore case
  EXPECT_STREQ("7z", buffer);

  ASSERT_TRUE(SetEnvironmentVariableA("VARLOPROBE", "zip"));  // one variable whatever the case
  EXPECT_STREQ("zip", std::getenv("VarloProbe"));
  EXPECT_EQ(nullptr, std::getenv("VARLOPROBE"));
  ASSERT_TRUE(SetEnvironmentVariableA("varloprobe", nullptr));
  SetLastError(0);
  EXPECT_EQ(0u, GetEnvironmentVariableA("VarloProbe", buffer, sizeof buffer));
  EXPECT_EQ(ERROR_ENVVAR_NOT_FOUND, GetLastError());
  EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
}

TEST(Environment, PathIsKeptInTheHostsForm) {
  cTempMachineRoot root;
  const char* saved = std::getenv("PATH");
  std::string original = saved ? saved : "";
  std::string value = "C:\\Program Files\\VARLO;" + original;
  ASSERT_TRUE(SetEnvironmentVariableA("PATH", value.c_str()));
  EXPECT_EQ(root.Path() + "/C/Program Files/VARLO:" + original, std::getenv("PATH"));
  ASSERT_TRUE(SetEnvironmentVariableA("Path", "C:\\Windows\\System32;;/usr/bin:/bin"));
  EXPECT_EQ(root.Path() + "/C/Windows/System32:/usr/bin:/bin", std::getenv("PATH"));
  setenv("PATH", original.c_str(), 1);
}
