#include "tests/installed/InstalledFixture.h"

#include "common/InstallLayout.h"
#include "platform/Files.h"
#include "tests/support/EventTool.h"
#include "tests/support/Occurrences.h"
#include "tests/support/WaitUntil.h"

namespace {

constexpr char kHostChannel[] = "Application";
// An open batch leaves once an event comes more than 5 s after its first record.
constexpr int kUploadRounds = 60;
constexpr int kUploadRoundMs = 1000;

}  // namespace

void cInstalledTest::SetUp() {
  ASSERT_TRUE(m_Authority.Valid());
  ASSERT_TRUE(m_Authority.InstallAsTrusted());
  ASSERT_TRUE(m_Server.Start());
  ASSERT_TRUE(m_Repository.Start());
  ASSERT_TRUE(m_Upload.Start());
  m_Agent.SetSetting("Domain", "Apis", m_Server.Url());
  m_Agent.SetSetting("Domain", "Repo", m_Repository.Url());
  m_Agent.SetSetting("Domain", "UploadSys", m_Upload.Url());
  m_Agent.SetSetting("Domain", "UploadWeb", m_Upload.Url());
  m_Agent.SetSetting("", "LicenseKey", kAccountKey);
  m_Agent.SetSetting("Status", 1);
  ASSERT_EQ(RunEventTool(std::string("create ") + kHostChannel), 0);
  m_Server.Script("POST", "/pauth/login/agent",
                  {200, R"({"returnCode":"0","ipKey":"agent-key-1","authKey":"session-1"})"});
  m_Server.Script("GET", "/pserver/agent/conf/syslog",
                  {200, R"({"returnCode":"0","result":{"isUpload":"1"}})"});
}

void cInstalledTest::TearDown() {
  m_Server.Stop();
  m_Repository.Stop();
  m_Upload.Stop();
}

void cInstalledTest::StartService() {
  cRunResult started = m_Agent.Run("sc.exe start VARLO");
  ASSERT_EQ(started.exitCode, 0) << started.output;
  ASSERT_TRUE(m_Agent.WaitForState(SERVICE_RUNNING)) << m_Agent.Log();
}

void cInstalledTest::AppendEvent(const std::string& event) {
  EXPECT_EQ(RunEventTool(std::string("event ") + kHostChannel + " \"" + event + "\""), 0);
}

std::vector<std::string> cInstalledTest::UploadedRecords() const {
  std::vector<std::string> records;
  for (const cUploadedBatch& batch : m_Upload.Batches()) {
    EXPECT_EQ(batch.error, "");
    EXPECT_TRUE(batch.hashesIntact);
    if (batch.path == "/pupload/syslog")
      records.insert(records.end(), batch.records.begin(), batch.records.end());
  }
  return records;
}

std::string cInstalledTest::WaitForUpload(const std::string& text) {
  std::string found;
  const auto arrived = [&] {
    for (const std::string& record : UploadedRecords()) {
      if (record.find(text) == std::string::npos) continue;
      found = record;
      return true;
    }
    return false;
  };
  for (int round = 0; round < kUploadRounds; ++round) {
    if (WaitUntil(kUploadRoundMs, arrived)) return found;
    AppendEvent(RenderedEvent(kHostChannel, "Marker", "1", {}, ++m_Markers));
  }
  return "";
}

bool cInstalledTest::WaitForLog(const std::string& text, size_t count, int timeoutMs) const {
  return WaitUntil(timeoutMs, [&] { return Occurrences(m_Agent.Log(), text) >= count; });
}

std::string cInstalledTest::InstallPath(const std::string& name) {
  return std::string(kInstallDirDefault) + "\\" + name;
}

std::string cInstalledTest::InstalledFile(const std::string& name) {
  std::string bytes;
  if (!platform::ReadWholeFile(InstallPath(name), bytes)) return "<missing>";
  return bytes;
}
