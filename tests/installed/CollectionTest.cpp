// What the installed agent writes and collects, from the folders the installer made: the reference
// lists that reach the collector, the log lines of detected events, the test word's rule files,
// the operator's package, and the collection of a service started again after it was killed.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/Files.h"
#include "tests/installed/InstalledFixture.h"
#include "tests/support/EventTool.h"
#include "tests/support/Occurrences.h"
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

TEST_F(CollectionTest, DetectedEventsGoIntoTheLogEscapedAndCutSoThatItKeepsItsHistory) {
  ScriptDetection();
  StartService();
  ASSERT_TRUE(WaitForLog("cEvtLogSvc::Start()=0")) << m_Agent.Log();

  const std::string forged = "\n[2001-01-01 00:00:00.000] [event] [critical] [Login.cpp:40] forged";
  const std::string large(1400000, 'z');
  const std::string events =
      RenderedEvent("Application", "Microsoft-Windows-Security-Auditing", "4625",
                    {{"TargetUserName", "admin"}, {"IpAddress", "203.0.113.7"}, {"WorkstationName", forged}}, 1) +
      RenderedEvent("Application", "Microsoft-Windows-Security-Auditing", "4625",
                    {{"TargetUserName", "admin"}, {"IpAddress", "203.0.113.8"}, {"WorkstationName", large}}, 2);
  // Too long for one argument of the tool's command line.
  const std::string input = m_Agent.Root() + "/events.xml";
  ASSERT_TRUE(platform::WriteFileAtomically(input, events));
  ASSERT_EQ(RunEventTool("append Application \"" + input + "\""), 0);
  // Read with the file that a rotation would have made, so that a lost history shows as such.
  const auto everyLog = [this] {
    const std::string rotated = InstalledFile("logs\\event.1.log");
    return (rotated == "<missing>" ? "" : rotated) + m_Agent.Log();
  };
  ASSERT_TRUE(WaitUntil(30000, [&] { return Occurrences(everyLog(), "* m_FE.Action(") >= 2; }))
      << everyLog().substr(0, 8192);

  const std::string log = everyLog();
  EXPECT_NE(log.find("\\n[2001-01-01 00:00:00.000] [event] [critical] [Login.cpp:40] forged"), std::string::npos)
      << log.substr(0, 8192);
  EXPECT_NE(log.find("zzz... (" + std::to_string(events.size() - events.find("<Event xmlns", 1)) + " bytes)"),
            std::string::npos)
      << "the large event not cut, or its cut not told";
  // Every line begins as the logger begins a record.
  const std::regex written(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[event\] \[\w+\] \[\w+\.cpp:\d+\] )");
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const std::string start = line.substr(0, 200);
    EXPECT_TRUE(std::regex_search(start, written, std::regex_constants::match_continuous)) << start;
    EXPECT_NE(start.rfind("[2001-01-01", 0), 0u) << start;
  }
  // Nothing rotated: the log holds its history from the start.
  EXPECT_LE(platform::FileSize(InstallPath("logs\\event.log")), static_cast<int64_t>(kLogFileBytes));
  EXPECT_FALSE(platform::FileExists(InstallPath("logs\\event.1.log")));
  EXPECT_NE(log.find("- VARLO Service v"), std::string::npos);
}

// The server's rule text reaches PCRE as it stands, explicit callouts and all.
TEST_F(CollectionTest, AFilterWhoseExpressionHoldsACalloutDetectsShortAndLongEventsAlike) {
  m_Server.Script("GET", "/pserver/agent/edr/conf",
                  {200, R"({"returnCode":"0","info":{"edrDetectMode":"agent","edrBlockMode":"none"}})"});
  m_Server.Script("GET", "/pfilter/agent/filter", {200, R"({"returnCode":"0","list":[{"filterId":"f-callout",
    "filterEvent":{"filterEventKey":"4625","filterEventProviderKey":"Microsoft-Windows-Security-Auditing"},
    "filterElementJson":[{"filterElementName":"EventData","childArray":[
      {"filterElementName":"Data","filterElementAttributeName":"Name",
       "filterElementAttributeValue":"TargetUserName","filterElementSearchFlag":"el",
       "filterElementSearchType":"regex","filterElementSearchText":"a(?C1)b"}]}],
    "edrFilterElementList":[]}]})"});
  StartService();
  ASSERT_TRUE(WaitForLog("m_FE.Load()=1")) << m_Agent.Log();
  const int process = m_Agent.State().processId;

  const auto failedLogonOf = [](const std::string& user, unsigned number) {
    return RenderedEvent("Application", "Microsoft-Windows-Security-Auditing", "4625",
                         {{"TargetUserName", user}, {"IpAddress", "203.0.113.7"}}, number);
  };
  // A short value matched after a long one once ended the service.
  std::vector<std::string> users;
  for (size_t length : {3000, 100, 3000, 100}) {
    users.push_back(std::string(length - 3, 'x') + "ab" + std::to_string(users.size() + 1));
    AppendEvent(failedLogonOf(users.back(), static_cast<unsigned>(users.size())));
  }
  for (const std::string& user : users) ASSERT_NE(WaitForUpload(user), "") << m_Agent.Log();
  EXPECT_EQ(m_Agent.State().state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(m_Agent.State().processId, process);
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
