// The registry tool, run as a second process against the test's machine root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/Process.h"
#include "platform/Registry.h"
#include "tests/support/TempMachineRoot.h"

namespace {

struct cResult {
  DWORD exitCode;
  std::string output;
};

std::string ToolPath() {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
  return path.substr(0, path.rfind('/') + 1) + "varloreg";
}

cResult Tool(const std::string& arguments) {
  platform::cProcess process;
  platform::cProcessOptions options;
  options.commandLine = "\"" + ToolPath() + "\" " + arguments;
  options.captureOutput = true;
  EXPECT_EQ(ERROR_SUCCESS, process.Start(options));
  cResult result{0, ""};
  char buffer[4096];
  long got;
  while ((got = process.ReadOutput(buffer, sizeof buffer, 10000)) > 0) result.output.append(buffer, static_cast<size_t>(got));
  EXPECT_TRUE(process.Wait(10000));
  process.GetExitCode(result.exitCode);
  return result;
}

}  // namespace

TEST(Varloreg, SetListQueryDeleteSeenByTheOtherProcess) {
  cTempMachineRoot root;
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BreltSecurity\\VARLO", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  DWORD status = 2;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Status", 0, REG_DWORD, reinterpret_cast<BYTE*>(&status), 4));

  EXPECT_EQ(0u, Tool("set HKLM\\SOFTWARE\\BreltSecurity\\VARLO\\Domain Apis REG_SZ https://api.test:8443/").exitCode);
  EXPECT_EQ(0u, Tool("set HKLM\\SOFTWARE\\BreltSecurity\\VARLO UploadTime REG_QWORD 0x10").exitCode);
  cResult list = Tool("list hklm\\SOFTWARE\\BreltSecurity\\VARLO");
  EXPECT_EQ(0u, list.exitCode);
  EXPECT_EQ(
      "HKLM\\SOFTWARE\\BreltSecurity\\VARLO\n"
      "    Status    REG_DWORD    0x2\n"
      "    UploadTime    REG_QWORD    0x10\n"
      "\nHKLM\\SOFTWARE\\BreltSecurity\\VARLO\\Domain\n",
      list.output);

  char url[64];
  DWORD size = sizeof url;
  HKEY domain;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, "Domain", 0, KEY_READ, &domain));
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(domain, "APIS", nullptr, nullptr, reinterpret_cast<BYTE*>(url), &size));
  EXPECT_STREQ("https://api.test:8443/", url);
  RegCloseKey(domain);

  EXPECT_EQ(0u, Tool("delete HKLM\\SOFTWARE\\BreltSecurity\\VARLO status").exitCode);
  EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), RegQueryValueExA(key, "Status", nullptr, nullptr, nullptr, &size));
  RegCloseKey(key);
}

TEST(Varloreg, FailuresExitNonZeroWithAReason) {
  cTempMachineRoot root;
  struct cCase {
    const char* arguments;
    DWORD exitCode;
  } cases[] = {
      {"--help", 0},
      {"", 2},
      {"list", 2},
      {"list HKXX\\SOFTWARE", 2},
      {"query HKLM\\SOFTWARE\\Nothing Status", 1},
      {"set HKLM\\SOFTWARE\\X Status REG_DWORD 4294967296", 2},
      {"set HKLM\\SOFTWARE\\X Status REG_DWORD -1", 2},
      {"set HKLM\\SOFTWARE\\X Status REG_BINARY 00", 2},
      {"delete HKLM\\SOFTWARE Missing", 1},
  };
  for (const auto& entry : cases) {
    cResult result = Tool(entry.arguments);
    EXPECT_EQ(entry.exitCode, result.exitCode) << entry.arguments << "\n" << result.output;
  }
}
