// Files the agent cannot write, because the host lost the folder they go into while the service
// ran: each is logged as an error where the step that writes it is logged.
#include <gtest/gtest.h>

#include <string>

#include "platform/Files.h"
#include "tests/agent/AgentFixture.h"

namespace {

class UnwritableFilesTest : public cAgentTest {
 protected:
  // The temporary folder, made at start-up, goes.
  void LoseTemp() {
    m_Temp = m_Service->m_AgentInfo.TempFolder();
    ASSERT_TRUE(platform::FolderExists(m_Temp));
    ASSERT_TRUE(platform::DeletePath(m_Temp));
  }

  // A line of the service log at error level that holds the text.
  bool LoggedAsError(const std::string& text) const {
    const std::string log = ServiceLog();
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      const size_t start = log.rfind('\n', at) + 1;
      if (log.substr(start, at - start).find("[error]") != std::string::npos) return true;
    }
    return false;
  }

  std::string m_Temp;
};

TEST_F(UnwritableFilesTest, TheSysfilterWordLogsBothFiles) {
  m_Server.Script("GET", "/pfilter/agent/filter", {200, R"({"returnCode":"0","list":[]})"});
  m_Server.Script("GET", "/pfilter/agent/filterelementreference",
                  {200, R"({"returnCode":"0","list":")" + cFakeManagementServer::Packed("[]") + "\"}"});
  SignInWithSysLogOn();
  LoseTemp();
  const std::string word = static_cast<char>(MSG_UI_TEST) + std::string("sysfilter") + '\0';
  ASSERT_TRUE(SendToServiceSlot(cMessage(word.begin(), word.end())));
  m_Service->SetReadTimeout(50);

  EXPECT_EQ(m_Service->CmdLoop(), 0);

  const std::string log = ServiceLog();
  EXPECT_TRUE(LoggedAsError(m_Temp + "\\sysfilter-ref.json not written")) << log;
  EXPECT_TRUE(LoggedAsError(m_Temp + "\\sysfilter.json not written")) << log;
}

TEST_F(UnwritableFilesTest, TheOperatorsPackageIsLogged) {
  m_Repository.AddPackage("/tools/extra/", {{"extra.txt", "extra content"}});
  m_Repository.AddFile(std::string("/client/") + kAccountKey, "package=tools/extra/\n");
  StartService();
  LoseTemp();

  EXPECT_EQ(m_Service->RemoteControl(), 0);

  EXPECT_TRUE(LoggedAsError(m_Temp + "\\manifest not written")) << ServiceLog();
}

}  // namespace
