#include <gtest/gtest.h>
#include <netinet/in.h>

#include <memory>

#include "VarloService/service/Isolation.h"
#include "common/AgentInfo.h"
#include "common/InstallLayout.h"
#include "platform/Files.h"
#include "tests/agent/AgentFixture.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/RecordingTools.h"
#include "tests/support/TempMachineRoot.h"

namespace {

constexpr char kSystemHosts[] = "C:\\Windows\\System32\\drivers\\etc\\hosts";
constexpr char kOriginalHosts[] = "127.0.0.1 localhost\r\n# the owner's own lines\n::1 localhost";

class IsolationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Agent = std::make_unique<cAgentInfo>();
    m_Backup = GetFirewallBackupPath(m_Agent->m_InstallDir);
    ASSERT_TRUE(MakeInstallFolders(m_Agent->m_InstallDir).empty());
    ASSERT_TRUE(platform::MakeSystemFolders());
    ResolveTo({{"repo.varlo.test", "10.0.0.1"}, {"api.varlo.test", "10.0.0.2"}});
    SetNetsh(0);
  }
  void TearDown() override { cAgentInfo::SetResolver(nullptr); }

  // Every default host resolves to the listed IPv4 address (and an IPv6 one, which is ignored);
  // the others do not resolve.
  void ResolveTo(std::vector<std::pair<std::string, std::string>> table) {
    cAgentInfo::SetResolver([table](const std::string& host, std::vector<cResolvedAddress>& out) {
      for (const auto& [name, address] : table) {
        if (name != host) continue;
        out.push_back({AF_INET6, "fd00::1"});
        out.push_back({AF_INET, address});
        return true;
      }
      return false;
    });
  }

  // A recording netsh that writes the exported policy, as the real one does, and ends the
  // import with importExit.
  void SetNetsh(int importExit) {
    WriteRecordingScript(m_Tools, m_Tools.Folder() + "/netsh", "netsh",
                         "if [ \"$2\" = export ]; then\n"
                         "  printf 'saved policy' > \"$VARLO_ROOT/$(printf '%s' \"$3\" | sed "
                         "'s|^\\([A-Za-z]\\):|\\1|; s|\\\\|/|g')\"\n"
                         "fi\n"
                         "if [ \"$2\" = import ]; then exit " +
                             std::to_string(importExit) + "; fi\n");
  }

  static std::string Read(const std::string& path) {
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes)) return "<missing>";
    return bytes;
  }
  static void Write(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(platform::WriteFileAtomically(path, bytes));
  }

  std::string ExportCall() const { return "netsh advfirewall export " + m_Backup; }
  std::string ImportCall() const { return "netsh advfirewall import " + m_Backup; }

  cTempMachineRoot m_Root;
  cRecordingTools m_Tools{m_Root.Path() + "/tools"};
  std::unique_ptr<cAgentInfo> m_Agent;
  std::string m_Backup;
};

TEST_F(IsolationTest, IsolationSavesThePolicyAllowsTheServersAndPinsTheirNames) {
  Write(kSystemHosts, kOriginalHosts);

  EXPECT_EQ(IsolateHost(*m_Agent), 1);

  EXPECT_EQ(m_Tools.Calls(),
            (std::vector<std::string>{
                ExportCall(),
                "netsh advfirewall firewall delete rule name=all",
                "netsh advfirewall firewall add rule name=VARLO IN dir=in action=allow "
                "remoteip=10.0.0.1,10.0.0.2",
                "netsh advfirewall firewall add rule name=VARLO OUT dir=out action=allow "
                "remoteip=10.0.0.1,10.0.0.2",
                "netsh advfirewall set allprofiles firewallpolicy blockinbound,blockoutbound",
                "netsh advfirewall set allprofiles state on",
            }));
  // Written as a Windows text file.
  EXPECT_EQ(Read(kSystemHosts),
            "# varlo\r\n10.0.0.1 repo.varlo.test\r\n10.0.0.2 api.varlo.test\r\n");
  EXPECT_EQ(Read(m_Agent->m_InstallDir + "\\hosts"), kOriginalHosts);
  EXPECT_EQ(Read(m_Backup), "saved policy");
}

TEST_F(IsolationTest, SecondIsolationChangesNothing) {
  Write(kSystemHosts, kOriginalHosts);
  ASSERT_EQ(IsolateHost(*m_Agent), 1);
  const std::string pinned = Read(kSystemHosts);
  m_Tools.ClearCalls();
  ResolveTo({{"sys.varlo.test", "10.9.9.9"}});

  EXPECT_EQ(IsolateHost(*m_Agent), 0);

  EXPECT_TRUE(m_Tools.Calls().empty());
  EXPECT_EQ(Read(kSystemHosts), pinned);
  EXPECT_EQ(Read(m_Agent->m_InstallDir + "\\hosts"), kOriginalHosts);
}

TEST_F(IsolationTest, ReleaseRestoresHostsByteForByteAndImportsThePolicy) {
  Write(kSystemHosts, kOriginalHosts);
  ASSERT_EQ(IsolateHost(*m_Agent), 1);
  m_Tools.ClearCalls();

  EXPECT_EQ(ReleaseIsolation(m_Agent->m_InstallDir), 0);

  EXPECT_EQ(m_Tools.Calls(), std::vector<std::string>{ImportCall()});
  EXPECT_EQ(Read(kSystemHosts), kOriginalHosts);
  EXPECT_FALSE(platform::FileExists(m_Agent->m_InstallDir + "\\hosts"));
  EXPECT_FALSE(platform::FileExists(m_Backup));
  // Released: the next order isolates again.
  EXPECT_EQ(IsolateHost(*m_Agent), 1);
}

TEST_F(IsolationTest, ReleaseRemovesTheHostsFileThatIsolationWroteWhereThereWasNone) {
  ASSERT_EQ(IsolateHost(*m_Agent), 1);
  ASSERT_TRUE(platform::FileExists(kSystemHosts));

  EXPECT_EQ(ReleaseIsolation(m_Agent->m_InstallDir), 0);

  EXPECT_FALSE(platform::FileExists(kSystemHosts));
}

TEST_F(IsolationTest, ReleaseWithoutIsolationKeepsTheHostsFile) {
  Write(kSystemHosts, kOriginalHosts);

  EXPECT_EQ(ReleaseIsolation(m_Agent->m_InstallDir), -1);

  EXPECT_TRUE(m_Tools.Calls().empty());
  EXPECT_EQ(Read(kSystemHosts), kOriginalHosts);
}

TEST_F(IsolationTest, NoServerAddressChangesNothingAndFails) {
  Write(kSystemHosts, kOriginalHosts);
  ResolveTo({});

  EXPECT_EQ(IsolateHost(*m_Agent), ISOLATE_NO_SERVER_ADDRESS);

  EXPECT_EQ(m_Tools.Calls(), std::vector<std::string>{ExportCall()});
  EXPECT_FALSE(platform::FileExists(m_Backup));
  EXPECT_EQ(Read(kSystemHosts), kOriginalHosts);
  EXPECT_FALSE(platform::FileExists(m_Agent->m_InstallDir + "\\hosts"));
}

TEST_F(IsolationTest, ProxyHostIsTheAllowListWhenNothingResolves) {
  ResolveTo({});
  m_Agent->m_Proxy = L"proxy.example:8080";

  EXPECT_EQ(IsolateHost(*m_Agent), 1);

  EXPECT_EQ(m_Tools.Calls()[2],
            "netsh advfirewall firewall add rule name=VARLO IN dir=in action=allow "
            "remoteip=proxy.example");
}

TEST_F(IsolationTest, FailedImportKeepsTheHostIsolatedAndTheBackupForTheNextRelease) {
  Write(kSystemHosts, kOriginalHosts);
  ASSERT_EQ(IsolateHost(*m_Agent), 1);
  const std::string pinned = Read(kSystemHosts);
  SetNetsh(1);

  EXPECT_EQ(ReleaseIsolation(m_Agent->m_InstallDir), RELEASE_IMPORT_FAILED);

  EXPECT_EQ(Read(m_Backup), "saved policy");
  EXPECT_EQ(Read(kSystemHosts), pinned);
  EXPECT_EQ(Read(m_Agent->m_InstallDir + "\\hosts"), kOriginalHosts);

  SetNetsh(0);
  EXPECT_EQ(ReleaseIsolation(m_Agent->m_InstallDir), 0);
  EXPECT_EQ(Read(kSystemHosts), kOriginalHosts);
  EXPECT_FALSE(platform::FileExists(m_Backup));
}

TEST_F(IsolationTest, AHostsFileThatCannotBeKeptAsideIsLeftAsItIsAndLogged) {
  Write(kSystemHosts, kOriginalHosts);
  // Something in the way of the backup's name.
  ASSERT_TRUE(platform::CreateFolders(m_Agent->m_InstallDir + "\\hosts\\in-the-way"));
  cCapturedLog log;

  EXPECT_EQ(IsolateHost(*m_Agent), 1);

  EXPECT_EQ(Read(kSystemHosts), kOriginalHosts);
  EXPECT_TRUE(log.Has("not kept aside")) << log.Text();
}

TEST_F(IsolationTest, FailedExportChangesNothing) {
  Write(kSystemHosts, kOriginalHosts);
  m_Tools.Add("netsh", 1);

  EXPECT_EQ(IsolateHost(*m_Agent), -1);

  EXPECT_EQ(m_Tools.Calls(), std::vector<std::string>{ExportCall()});
  EXPECT_EQ(Read(kSystemHosts), kOriginalHosts);
}

}  // namespace
