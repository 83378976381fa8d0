// Isolation of an installed host: the firewall through netsh (a stand-in here) and the hosts file
// in the folder every Windows host has, released again from the command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/Files.h"
#include "tests/installed/InstalledFixture.h"
#include "tests/support/WaitUntil.h"

namespace {

constexpr char kHosts[] = "C:\\Windows\\System32\\drivers\\etc\\hosts";

class InstalledIsolationTest : public cInstalledTest {
 protected:
  // A netsh that writes the exported policy where it is told, as the real one does.
  void PlaceNetsh() {
    const std::string tools = m_Agent.Root() + "/netsh-tool";
    ASSERT_TRUE(platform::CreateFolders(tools));
    std::ofstream(tools + "/netsh")
        << "#!/bin/sh\n"
           "if [ \"$2\" = export ]; then\n"
           "  printf 'saved policy' > \"$VARLO_ROOT/$(printf '%s' \"$3\" | sed "
           "'s|^\\([A-Za-z]\\):|\\1|; s|\\\\|/|g')\"\n"
           "fi\n";
    ASSERT_EQ(chmod((tools + "/netsh").c_str(), 0755), 0);
    m_Agent.PrependPath(tools);
  }
};

TEST_F(InstalledIsolationTest, TheHostsFileIsWrittenAndReleasedFromTheCommandLine) {
  PlaceNetsh();
  // The default server names do not resolve on this host; behind a proxy the proxy is the one
  // address let through.
  m_Agent.SetSetting("", "Proxy", "proxy.example:8080");
  StartService();

  ASSERT_EQ(m_Agent.Service("isolate 1").exitCode, 0);
  ASSERT_TRUE(WaitUntil(kLongWaitMs, [] { return platform::FileExists(kHosts); })) << m_Agent.Log();
  EXPECT_EQ(m_Agent.Log().find("Isolate: "), std::string::npos) << m_Agent.Log();

  cRunResult released = m_Agent.Service("isolate");
  EXPECT_EQ(released.exitCode, 0) << released.output;
  // The host had no hosts file of its own: the isolation's goes with it.
  EXPECT_FALSE(platform::FileExists(kHosts));
}

}  // namespace
