// What the installed agent writes and collects, from the folders the installer made: the reference
// lists that reach the collector, the test word's rule files, the operator's package, and the
// collection of a service started again after it was killed.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/installed/InstalledFixture.h"
#include "tests/support/EventTool.h"
#include "tests/support/WaitUntil.h"

namespace {

constexpr char kSuspectFilter[] = R"({"filterId":"f-suspect-address",
  "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
  "filterElementJson":[{"filterElementName":"EventData","childArray":[
    {"filterElementName":"Data","filterElementAttributeName":"Name",
     "filterElementAttributeValue":"IpAddress","filterElementSearchFlag":"el",
     "filterElementSearchType":"ip","filterElementSearchText":21}]}],
  "edrFilterElementList":[]})";
constexpr char kSuspectAddresses[] =
    R"([{"id":21,"type":"ip","name":"suspects","list":[{"value":"203.0.113.0/24"}]}])";

std::string FailedLogonFrom(const std::string& address, unsigned number) {
  return RenderedEvent("Application", "Microsoft-Windows-Security-Auditing", "4625",
                       {{"TargetUserName", "admin"}, {"IpAddress", address}}, number);
}

// JSON text in the compact form, so that two texts of one value compare equal.
std::string Compact(const std::string& text) {
  json_t* value = json_loads(text.c_str(), JSON_DECODE_ANY, nullptr);
  if (!value) return "<not JSON: " + text + ">";
  char* dumped = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  std::string compact = dumped ? dumped : "";
  free(dumped);
  json_decref(value);
  return compact;
}

class CollectionTest : public cInstalledTest {
 protected:
  // Detection switched on, with one filter that looks the event's address up in a reference list
  // of the server's, which arrives as base64 of its gzip form.
  void ScriptDetection() {
    m_Server.Script("GET", "/pserver/agent/edr/conf",
                    {200, R"({"returnCode":"0","info":{"edrDetectMode":"agent","edrBlockMode":"none"}})"});
    m_Server.Script("GET", "/pfilter/agent/filter",
                    {200, std::string(R"({"returnCode":"0","list":[)") + kSuspectFilter + "]}"});
    m_Server.Script("GET", "/pfilter/agent/filterelementreference",
                    {200, R"({"returnCode":"0","list":")" +
                              cFakeManagementServer::Packed(kSuspectAddresses) + "\"}"});
  }
};

TEST_F(CollectionTest, TheInstallerMakesTheFoldersTheAgentWritesIntoAndStartUpMakesThemAgain) {
  for (const char* folder : {"logs", "temp"}) EXPECT_TRUE(platform::FolderExists(InstallPath(folder)));
  // Isolation writes the host's hosts file there.
  EXPECT_TRUE(platform::FolderExists(platform::kHostsFolder));
  // A host that lost them since.
  ASSERT_TRUE(platform::DeletePath(InstallPath("temp")));
  ASSERT_TRUE(platform::DeletePath(InstallPath("logs")));

  StartService();

  EXPECT_TRUE(platform::FolderExists(InstallPath("temp")));
  EXPECT_TRUE(platform::FolderExists(InstallPath("logs")));
  EXPECT_EQ(m_Agent.Log().find("CreateFolders("), std::string::npos) << m_Agent.Log();
}

TEST_F(CollectionTest, TheReferenceListsReachTheCollectorAndAnIpItemDetectsAnEventFromOutside) {
  ScriptDetection();
  StartService();
  ASSERT_TRUE(WaitForLog("cEvtLogSvc::Start()=0")) << m_Agent.Log();
  EXPECT_NE(m_Agent.Log().find("m_FE.Load()=1"), std::string::npos) << m_Agent.Log();

  AppendEvent(FailedLogonFrom("198.51.100.7", 1));
  AppendEvent(FailedLogonFrom("203.0.113.7", 2));

  const std::string detected = WaitForUpload("203.0.113.7");
  ASSERT_NE(detected, "") << m_Agent.Log();
  EXPECT_NE(detected.find(R"("detectFilterIds":["f-suspect-address"])"), std::string::npos)
      << detected;
  // With detection on only what a filter detected is uploaded.
  for (const std::string& record : UploadedRecords())
    EXPECT_EQ(record.find("198.51.100.7"), std::string::npos) << record;
}

TEST_F(CollectionTest, TheSysfilterWordWritesTheFilterAndReferenceListsIntoTemp) {
  ScriptDetection();
  StartService();
  ASSERT_TRUE(WaitForLog("cEvtLogSvc::Start()=0")) << m_Agent.Log();

  const cRunResult sent = m_Agent.Service("test sysfilter");
  ASSERT_EQ(sent.exitCode, 0) << sent.output;

  ASSERT_TRUE(WaitUntil(30000, [] {
    return platform::FileExists(InstallPath("temp\\sysfilter.json")) &&
           platform::FileExists(InstallPath("temp\\sysfilter-ref.json"));
  })) << m_Agent.Log();
  EXPECT_TRUE(WaitUntil(10000, [] {
    return Compact(InstalledFile("temp\\sysfilter-ref.json")) == Compact(kSuspectAddresses);
  })) << InstalledFile("temp\\sysfilter-ref.json");
  EXPECT_EQ(Compact(InstalledFile("temp\\sysfilter.json")),
            Compact(std::string("[") + kSuspectFilter + "]"));
  EXPECT_EQ(m_Agent.Log().find("not written"), std::string::npos) << m_Agent.Log();
}

TEST_F(CollectionTest, AServiceKilledAndStartedAgainCollectsWhileEveryJobPollBringsNoData) {
  m_Server.Script("GET", "/pserver/agent/agentjob",
                  {200, R"({"returnCode":"0","dataNotFoundCode":"1"})"});
  StartService();
  ASSERT_TRUE(WaitForLog("cEvtLogSvc::Start()=0")) << m_Agent.Log();
  const int killed = m_Agent.State().processId;
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_TRUE(m_Agent.WaitForExit(killed));

  StartService();
  ASSERT_TRUE(WaitForLog("cEvtLogSvc::Start()=0", 2)) << m_Agent.Log();
  AppendEvent(FailedLogonFrom("198.51.100.7", 1));

  EXPECT_NE(WaitForUpload("198.51.100.7"), "") << m_Agent.Log();
}

TEST_F(CollectionTest, TheOperatorsPackageIsFetchedIntoTemp) {
  m_Repository.AddFile(std::string("/client/") + kAccountKey, "package=v4/tools/\n");
  m_Repository.AddPackage("/v4/tools/", {{"probe.ps1", "Get-Process\r\n"}, {"notes.txt", "two\n"}});

  StartService();

  ASSERT_TRUE(WaitForLog("package=v4/tools/")) << m_Agent.Log();
  EXPECT_TRUE(WaitUntil(30000, [] { return InstalledFile("temp\\notes.txt") == "two\n"; }))
      << m_Agent.Log();
  EXPECT_EQ(InstalledFile("temp\\probe.ps1"), "Get-Process\r\n");
  EXPECT_TRUE(WaitUntil(10000, [] { return !platform::FileExists(InstallPath("temp\\manifest")); }));
}

}  // namespace
