// The remote-control file on the repository and what it makes the agent do.
#include <gtest/gtest.h>

#include "platform/Files.h"
#include "tests/agent/AgentFixture.h"

namespace {

class RemoteControlTest : public cAgentTest {
 protected:
  void SetUp() override {
    cAgentTest::SetUp();
    StartService();
    m_Service->m_AgentInfo.m_IpAddr = kAgentAddress;
  }
  void Publish(const std::string& text) {
    m_Repository.AddFile(std::string("/client/") + kAccountKey, text);
  }
};

TEST_F(RemoteControlTest, MissingOrEmptyFileGivesMinusOne) {
  EXPECT_EQ(m_Service->RemoteControl(), -1);
  Publish("");
  EXPECT_EQ(m_Service->RemoteControl(), -1);
}

TEST_F(RemoteControlTest, AnAddressListWithoutThisAgentStopsEverything) {
  Publish("cmd=rc-run\nip=10.0.0.1 10.0.0.2\nseq=1\n");
  m_Tools.Add("rc-run");
  const std::string applied = RegistryString("RC");

  EXPECT_EQ(m_Service->RemoteControl(), -2);

  EXPECT_EQ(RegistryString("RC"), applied);
  EXPECT_TRUE(m_Tools.Calls().empty());
}

TEST_F(RemoteControlTest, ARepeatedSequenceIsAppliedOnce) {
  m_Tools.Add("rc-run");
  // Carriage returns stay in the values; the address list still splits at them.
  Publish(std::string("ip=10.0.0.1 ") + kAgentAddress + "\r\nseq=7\r\ncmd=rc-run once\n");

  EXPECT_EQ(m_Service->RemoteControl(), 0);
  EXPECT_EQ(RegistryString("RC"), "7\r");
  EXPECT_TRUE(WaitForCall("rc-run once"));

  Publish(std::string("seq=7\r\ncmd=rc-run again\n"));
  EXPECT_EQ(m_Service->RemoteControl(), -3);
  Publish(std::string("seq=8\ncmd=rc-run again\n"));
  EXPECT_EQ(m_Service->RemoteControl(), 0);
  EXPECT_TRUE(WaitForCall("rc-run again"));
}

TEST_F(RemoteControlTest, DebugSetsTheRelayLevel) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"3", 3}, {"0", 0}, {"a", 49}, {"/", 49}};
  for (const auto& [value, level] : cases) {
    Publish("debug=" + value + "\n");
    EXPECT_EQ(m_Service->RemoteControl(), 0);
    EXPECT_EQ(m_Service->m_EvtLogSvc.Relay().DebugLevel(), level) << value;
  }
}

TEST_F(RemoteControlTest, PackageIsFetchedIntoTempAndCmdRunsInTheInstallFolder) {
  m_Repository.AddPackage("/tools/extra/", {{"extra.txt", "extra content"}});
  // The last of two lines wins; comments and lines without "=" are skipped.
  Publish("# maintenance\npackage=tools/extra/\nnothing here\ncmd=rc-run first\ncmd=pwd-run\n");
  const std::string pwdLog = m_Tools.Folder() + "/pwd.log";
  WriteRecordingScript(m_Tools, m_Tools.Folder() + "/pwd-run", "pwd-run",
                       "pwd > '" + pwdLog + "'\n");

  EXPECT_EQ(m_Service->RemoteControl(), 0);

  const std::string temp = m_Service->m_AgentInfo.m_InstallDir + "\\temp\\";
  EXPECT_EQ(ReadFile(temp + "extra.txt"), "extra content");
  EXPECT_FALSE(platform::FileExists(temp + "manifest"));
  ASSERT_TRUE(WaitForCall("pwd-run"));
  EXPECT_EQ(m_Tools.Calls("rc-run"), std::vector<std::string>{});
  std::string folder;
  EXPECT_TRUE(
      WaitUntil(10000, [&] { return platform::ReadWholeFile(pwdLog, folder) && !folder.empty(); }));
  EXPECT_EQ(folder, platform::MapPath(m_Service->m_AgentInfo.m_InstallDir) + "\n");
}

TEST_F(RemoteControlTest, APackageTheRepositoryDoesNotHaveLeavesTempAsItWas) {
  const std::string temp = m_Service->m_AgentInfo.m_InstallDir + "\\temp";
  std::vector<std::string> before, after;
  ASSERT_TRUE(platform::ListFolder(temp, before));
  Publish("package=v4/missing/\n");
  m_Repository.ClearRequests();

  EXPECT_EQ(m_Service->RemoteControl(), 0);

  ASSERT_TRUE(platform::ListFolder(temp, after));
  EXPECT_EQ(after, before);
  std::vector<std::string> asked;
  for (const cRecordedRequest& request : m_Repository.Requests()) asked.push_back(request.target);
  EXPECT_EQ(asked, (std::vector<std::string>{std::string("/client/") + kAccountKey, "/v4/missing/manifest"}));
}

TEST_F(RemoteControlTest, OnlyCommentsAndEmptyValuesDoNothing) {
  Publish("# nothing\n\nseq=\ncmd=\n");
  const std::string applied = RegistryString("RC");
  EXPECT_EQ(m_Service->RemoteControl(), 0);
  EXPECT_EQ(RegistryString("RC"), applied);
  EXPECT_TRUE(m_Tools.Calls().empty());
}

}  // namespace
