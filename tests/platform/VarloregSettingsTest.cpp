// What the agent's first reads on an empty machine root leave in the registry, as the registry
// tool shows it from a process of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "common/AgentInfo.h"
#include "common/Nvm.h"
#include "platform/Process.h"
#include "tests/support/TempMachineRoot.h"

namespace {

struct cListing {
  DWORD exitCode;
  std::string output;
};

cListing ListAgentKey() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
  platform::cProcess process;
  platform::cProcessOptions options;
  options.commandLine = "\"" + path.substr(0, path.rfind('/') + 1) + "varloreg\" list HKLM\\SOFTWARE\\BreltSecurity\\VARLO";
  options.captureOutput = true;
  EXPECT_EQ(ERROR_SUCCESS, process.Start(options));
  std::string output;
  char buffer[4096];
  long got;
  while ((got = process.ReadOutput(buffer, sizeof buffer, 10000)) > 0) output.append(buffer, static_cast<size_t>(got));
  EXPECT_TRUE(process.Wait(10000));
  DWORD exitCode = 99;
  process.GetExitCode(exitCode);
  return {exitCode, output};
}

}  // namespace

TEST(VarloregSettings, TheFirstReadsOfAFreshMachineCreateTheDefaultsThatTheToolShows) {
  cTempMachineRoot root;
  const cListing before = ListAgentKey();
  EXPECT_EQ(before.exitCode, 1u) << before.output;
  EXPECT_NE(before.output.find("not found (error 2)"), std::string::npos) << before.output;
  {
    cAgentInfo info;
    info.LoadProxy();
    NvmVarlo nvm;
    uint32_t status = 0, autoUpdate = 1, mask = 0xFFFFFFFF;
    EXPECT_EQ(nvm.GetDword(NvmVarlo::Status, status), 1);
    EXPECT_EQ(nvm.GetDword(NvmVarlo::AutoUpdate, autoUpdate), 1);
    EXPECT_EQ(nvm.GetDword(NvmVarlo::EventChannelMask, mask), 1);
    std::string rc;
    EXPECT_EQ(nvm.GetString(NvmVarlo::RC, rc), 1);
  }
  const cListing after = ListAgentKey();
  EXPECT_EQ(after.exitCode, 0u) << after.output;
  EXPECT_EQ(after.output,
            "HKLM\\SOFTWARE\\BreltSecurity\\VARLO\n"
            "    AgentVersion    REG_SZ    5.8.0.8\n"
            "    InstallDir    REG_SZ    C:\\Program Files\\VARLO\n"
            "    AgentType    REG_SZ    SIEM_WIN\n"
            "    LicenseKey    REG_SZ    \n"
            "    AgentId    REG_SZ    \n"
            "    UploadTime    REG_QWORD    0x0\n"
            "    Proxy    REG_SZ    \n"
            "    ProxyBypass    REG_SZ    \n"
            "    Status    REG_DWORD    0x0\n"
            "    AutoUpdate    REG_DWORD    0x1\n"
            "    EventChannelMask    REG_DWORD    0xffffffff\n"
            "    RC    REG_SZ    \n");
}
