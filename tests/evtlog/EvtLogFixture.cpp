#include "tests/evtlog/EvtLogFixture.h"

#include "platform/EventLog.h"
#include "platform/Registry.h"

namespace {

constexpr char kFlushMarker[] = "FlushMarker";

void SetUploadUrl(const std::string& url) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\BreltSecurity\\VARLO\\Domain", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "UploadSys", 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                           static_cast<DWORD>(url.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace

std::string FailedLogon(const std::string& user, unsigned number) {
  return RenderedEvent(kSecurity, "Microsoft-Windows-Security-Auditing", "4625",
                       {{"SubjectUserName", "-"}, {"TargetUserName", user}, {"IpAddress", "10.1.2.3"}}, number);
}

cEvtLogFixture::cEvtLogFixture() = default;

cEvtLogFixture::~cEvtLogFixture() {
  m_Svc.reset();
  platform::SetClock(nullptr);
}

void cEvtLogFixture::SetUp() {
  platform::SetClock(&m_Clock);
  ASSERT_TRUE(m_Authority.Valid());
  ASSERT_TRUE(m_Authority.InstallAsTrusted());
  ASSERT_TRUE(m_Server.Start());
  SetUploadUrl(m_Server.Url());
  m_AgentInfo = std::make_unique<cAgentInfo>();
  m_Svc = std::make_unique<cEvtLogSvc>();
  // As sign-in does before every start: detection off, which uploads every event.
  m_Svc->SyslogConf(0, 0, 0);
}

void cEvtLogFixture::Append(const std::string& channel, const std::vector<std::string>& events) {
  const uint32_t handled = m_Svc->RxCount();
  ASSERT_TRUE(platform::AppendEvents(channel, events)) << channel << ": " << GetLastError();
  ASSERT_TRUE(WaitHandled(handled + static_cast<uint32_t>(events.size())));
}

bool cEvtLogFixture::WaitHandled(uint32_t count) {
  // A handled count read before the idle state means that callback has returned.
  return WaitUntil(kEventWaitMs, [&] { return m_Svc->RxCount() >= count && !m_Svc->InCallback(); });
}

std::vector<cUploadedBatch> cEvtLogFixture::FlushBatches() {
  // A marker that lands alone in a fresh batch is sent by the next one.
  for (int round = 0; round < 3; ++round) {
    m_Clock.Advance(6000);
    uint32_t handled = m_Svc->RxCount();
    Append("Application", {RenderedEvent("Application", kFlushMarker, "1", {}, ++m_FlushMarkers)});
    EXPECT_TRUE(WaitHandled(handled + 1));
    if (m_Svc->Uploader().Lines() == 0) break;
  }
  std::vector<cUploadedBatch> batches = m_Server.Batches();
  std::vector<cUploadedBatch> fresh(batches.begin() + static_cast<long>(std::min(m_BatchesSeen, batches.size())),
                                    batches.end());
  m_BatchesSeen = batches.size();
  return fresh;
}

std::vector<std::string> cEvtLogFixture::Ceelogs(const std::vector<cUploadedBatch>& batches) {
  std::vector<std::string> ceelogs;
  for (const auto& batch : batches) {
    for (const auto& ceelog : batch.ceelogs) {
      if (ceelog.find(std::string("<Provider Name='") + kFlushMarker) == std::string::npos) ceelogs.push_back(ceelog);
    }
  }
  return ceelogs;
}
