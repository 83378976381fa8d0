#include "VarloService/evtlog/EvtFileRelay.h"

#include <gtest/gtest.h>

#include "VarloService/server/LogUploader.h"
#include "common/InstallLayout.h"
#include "platform/Files.h"
#include "tests/evtlog/EvtLogFixture.h"

namespace {

constexpr char kLog[] = "C:\\Program Files\\VARLO\\logs\\event.log";

class EvtFileRelayTest : public cEvtLogFixture {
 protected:
  void SetUp() override {
    cEvtLogFixture::SetUp();
    m_Uploader.Begin(m_AgentInfo.get(), 0, 0);
    ASSERT_EQ(m_Uploader.Connect(L"127.0.0.1", 1, m_Server.Port()), 0);
    ASSERT_TRUE(MakeInstallFolders().empty());
  }

  void WriteLog(const std::string& text, const char* mode = "ab") {
    FILE* file = platform::OpenFile(kLog, mode);
    ASSERT_NE(file, nullptr);
    fputs(text.c_str(), file);
    fclose(file);
  }

  // The Data texts and millisecond fields of the events that one tick sent.
  std::vector<std::string> TickAndSend() {
    m_Relay.Tick(m_Uploader);
    m_Uploader.Flush();
    std::vector<std::string> sent;
    for (const auto& ceelog : Ceelogs(FlushBatchesOfUploader())) {
      size_t data = ceelog.find("<Data>") + 6;
      sent.push_back(ceelog.substr(165, 4) + " " + ceelog.substr(data, ceelog.find("</Data>") - data));
    }
    return sent;
  }

  std::vector<cUploadedBatch> FlushBatchesOfUploader() {
    auto batches = m_Server.Batches();
    std::vector<cUploadedBatch> fresh(batches.begin() + static_cast<long>(m_Seen), batches.end());
    m_Seen = batches.size();
    return fresh;
  }

  cLogUploader m_Uploader;
  cEvtFileRelay m_Relay;
  size_t m_Seen = 0;
};

TEST_F(EvtFileRelayTest, EventTextFollowsTheTemplateAndEscapesTheText) {
  const std::string event = cEvtFileRelay::EventText(1700000000, 1234, "a<b & c>");
  EXPECT_EQ(event.substr(0, 14), "<Event xmlns='");
  EXPECT_EQ(event.substr(146, 27), "2023-11-14T22:13:20.123000Z");
  EXPECT_EQ(event.substr(232), "a&lt;b &amp; c&gt;</Data></EventData></Event>");
  EXPECT_NE(event.find("<Provider Name='Varlo'/><EventID>0</EventID>"), std::string::npos);
}

TEST_F(EvtFileRelayTest, PendingTextsAlwaysAndNewLinesOnlyWithADebugLevel) {
  WriteLog("written before the start\n");
  const int64_t start = m_Relay.Open(0, kLog);
  EXPECT_EQ(start, platform::FileSize(kLog));
  WriteLog("one\r\ntwo\n\nthree\npartial");
  m_Relay.AddPending("VARLO Service");
  m_Clock.Advance(9000);
  EXPECT_TRUE(TickAndSend().empty());  // less than 10 s since opening
  m_Clock.Advance(1000);
  EXPECT_EQ(TickAndSend(), std::vector<std::string>{".000 VARLO Service"});
  EXPECT_EQ(m_Relay.Open(-1), start);  // level 0 left the offset alone

  m_Relay.Open(1);
  m_Relay.AddPending("notice");
  m_Clock.Advance(10000);
  EXPECT_EQ(TickAndSend(), (std::vector<std::string>{".000 notice", ".001 one", ".002 two", ".003 three"}));
  WriteLog(" line\n");
  m_Clock.Advance(10000);
  EXPECT_EQ(TickAndSend(), std::vector<std::string>{".000 partial line"});

  // Rotated: the new, shorter file is read from its start.
  WriteLog("fresh\n", "wb");
  m_Clock.Advance(10000);
  EXPECT_EQ(TickAndSend(), std::vector<std::string>{".000 fresh"});
}

}  // namespace
