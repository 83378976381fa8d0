#include <gtest/gtest.h>
#include <sys/socket.h>

#include "common/AgentInfo.h"
#include "common/Nvm.h"
#include "tests/support/TempMachineRoot.h"

namespace {

class AgentInfoTest : public ::testing::Test {
 protected:
  void TearDown() override { cAgentInfo::SetResolver(nullptr); }
  cTempMachineRoot m_Root;
};

std::string ReadString(const char* name) {
  NvmVarlo nvm(0);
  std::string text = "(missing)";
  nvm.GetString(name, text);
  return text;
}

}  // namespace

TEST_F(AgentInfoTest, FreshMachineGetsTheStartValuesStored) {
  cAgentInfo info;
  EXPECT_EQ(info.m_AgentType, "SIEM_WIN");
  EXPECT_EQ(info.m_InstallDir, "C:\\Program Files\\VARLO");
  EXPECT_EQ(ReadString("AgentType"), "SIEM_WIN");
  EXPECT_EQ(ReadString("AgentVersion"), "5.8.0.8");
  EXPECT_EQ(ReadString("InstallDir"), "C:\\Program Files\\VARLO");
  EXPECT_EQ(ReadString("LicenseKey"), "");
  EXPECT_EQ(ReadString("AgentId"), "");
  NvmVarlo nvm(0);
  uint64_t uploadTime = 99;
  EXPECT_EQ(nvm.GetQword(NvmVarlo::UploadTime, uploadTime), 0);
  EXPECT_EQ(uploadTime, 0u);
}

TEST_F(AgentInfoTest, StoredValuesReplaceTheBuiltInOnes) {
  {
    NvmVarlo nvm;
    nvm.SetString(NvmVarlo::AgentVersion, "5.9.0.1");
    nvm.SetString(NvmVarlo::InstallDir, "D:\\Agent");
    nvm.SetString(NvmVarlo::LicenseKey, "account-key");
    nvm.SetQword(NvmVarlo::UploadTime, 1700000000123ull);
  }
  cAgentInfo info;
  EXPECT_EQ(info.m_AgentVersion, "5.9.0.1");
  EXPECT_EQ(info.m_InstallDir, "D:\\Agent");
  EXPECT_EQ(info.m_LicenseKey, "account-key");
  EXPECT_EQ(info.m_UploadTime.load(), 1700000000123ull);
}

TEST_F(AgentInfoTest, LoadProxyCreatesEmptyValuesAndWidensStoredOnes) {
  cAgentInfo info;
  info.m_Proxy = L"stale";
  info.LoadProxy();
  EXPECT_EQ(info.m_Proxy, L"");
  EXPECT_EQ(ReadString("Proxy"), "");
  EXPECT_EQ(ReadString("ProxyBypass"), "");
  {
    NvmVarlo nvm;
    nvm.SetString(NvmVarlo::Proxy, "proxy.example.test:3128");
    nvm.SetString(NvmVarlo::ProxyBypass, "<local>");
  }
  info.LoadProxy();
  EXPECT_EQ(info.m_Proxy, L"proxy.example.test:3128");
  EXPECT_EQ(info.m_ProxyBypass, L"<local>");
}

TEST_F(AgentInfoTest, ResolveServerHostsListsEachIpv4AddressOnce) {
  cAgentInfo::SetResolver([](const std::string& host, std::vector<cResolvedAddress>& addresses) {
    if (host == kDefaultRepoHost) {
      addresses = {{AF_INET, "192.0.2.1"}, {AF_INET6, "2001:db8::1"}, {AF_INET, "192.0.2.2"}};
      return true;
    }
    if (host == kDefaultUploadWebHost) {
      addresses = {{AF_INET, "198.51.100.7"}};
      return true;
    }
    return false;
  });
  cAgentInfo info;
  std::string addresses, hosts;
  EXPECT_EQ(info.ResolveServerHosts(addresses, hosts), 0);
  EXPECT_EQ(addresses, "192.0.2.1,192.0.2.2,198.51.100.7");
  EXPECT_EQ(hosts, std::string("# varlo\n") + "192.0.2.1 " + kDefaultRepoHost + "\n" + "192.0.2.2 " +
                       kDefaultRepoHost + "\n" + "198.51.100.7 " + kDefaultUploadWebHost + "\n");
}

TEST_F(AgentInfoTest, ResolveServerHostsWithAProxyAllowsOnlyTheProxyHost) {
  cAgentInfo::SetResolver([](const std::string&, std::vector<cResolvedAddress>& addresses) {
    addresses = {{AF_INET, "192.0.2.9"}};
    return true;
  });
  cAgentInfo info;
  for (const auto& [proxy, expected] : {std::pair<std::wstring, std::string>{L"proxy.example.test:3128", "proxy.example.test"},
                                        {L"proxy.example.test", "proxy.example.test"}}) {
    info.m_Proxy = proxy;
    std::string addresses, hosts;
    EXPECT_EQ(info.ResolveServerHosts(addresses, hosts), 1);
    EXPECT_EQ(addresses, expected);
    EXPECT_EQ(hosts.rfind("# varlo\n192.0.2.9 ", 0), 0u);
  }
}

TEST_F(AgentInfoTest, NothingResolvesLeavesBothTextsEmpty) {
  cAgentInfo::SetResolver([](const std::string&, std::vector<cResolvedAddress>&) { return false; });
  cAgentInfo info;
  std::string addresses, hosts;
  EXPECT_EQ(info.ResolveServerHosts(addresses, hosts), 0);
  EXPECT_TRUE(addresses.empty());
  EXPECT_TRUE(hosts.empty());
}
