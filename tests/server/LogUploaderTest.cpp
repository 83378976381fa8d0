// The log-upload batcher against the fake upload server, which decodes every envelope: batch
// boundaries to the byte, the age rule on a manual clock, the envelope, the record formats and
// the counters.
#include "VarloService/server/LogUploader.h"

#include <random>
#include <thread>

#include "common/Sha256.h"
#include "platform/Clock.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/BreakingServer.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FakeUploadServer.h"

namespace {

using Json = std::unique_ptr<json_t, decltype(&json_decref)>;

// A web record whose compact JSON text is exactly length bytes: {"t":"xxx..."}.
Json Record(size_t length, char fill = 'x') {
  return Json(json_pack("{s:s}", "t", std::string(length - 8, fill).c_str()), &json_decref);
}

class LogUploaderTest : public cServerTest {
 protected:
  void SetUp() override {
    cServerTest::SetUp();
    platform::SetClock(&m_Clock);
    ASSERT_TRUE(m_Server.Start());
    m_Info.m_AgentId = "agent-1";
    m_Info.m_LicenseKey = "LIC";
    m_Info.m_IpAddr = "10.0.0.5";
    m_Info.m_HostName = "host1";
    m_U.Begin(&m_Info, 0, 0);
    ASSERT_EQ(0, m_U.Connect(L"127.0.0.1", 1, m_Server.Port()));
  }
  void TearDown() override { platform::SetClock(nullptr); }

  int Append(size_t length) { return m_U.Append(cLogUploader::WebLog, Record(length).get()); }

  // The record counts of the batches received so far.
  std::vector<size_t> BatchSizes() const {
    std::vector<size_t> sizes;
    for (const cUploadedBatch& batch : m_Server.Batches()) {
      EXPECT_EQ("", batch.error);
      EXPECT_EQ(static_cast<long long>(batch.records.size()), batch.uploadLogLine);
      sizes.push_back(batch.records.size());
    }
    return sizes;
  }

  platform::cManualClock m_Clock{1700000000};
  cFakeUploadServer m_Server{&m_Authority};
  cAgentInfo m_Info;
  cLogUploader m_U;
};

TEST_F(LogUploaderTest, ARecordThatJustFitsJoinsTheBatch) {
  EXPECT_EQ(0, Append(1000));  // used: "[" + 1000 + "," = 1002
  EXPECT_EQ(0, Append(cLogUploader::kCapacity - 1002 - 1));  // fills the buffer, then passes the threshold
  EXPECT_EQ((std::vector<size_t>{2}), BatchSizes());
  EXPECT_EQ(0u, m_U.Lines());
}

TEST_F(LogUploaderTest, OneByteMoreFlushesFirst) {
  EXPECT_EQ(0, Append(1000));
  EXPECT_EQ(0, Append(cLogUploader::kCapacity - 1002));
  EXPECT_EQ((std::vector<size_t>{1}), BatchSizes());
  EXPECT_EQ(1u, m_U.Lines());  // the large one starts the next batch and is not flushed by its size
  EXPECT_EQ(0, m_U.Flush());
  EXPECT_EQ((std::vector<size_t>{1, 1}), BatchSizes());
  EXPECT_EQ(cLogUploader::kCapacity - 1002, m_Server.Batches()[1].records[0].size());
}

TEST_F(LogUploaderTest, TheThresholdIsTestedAfterTheFirstRecord) {
  EXPECT_EQ(0, Append(110000));  // alone past the threshold
  EXPECT_TRUE(BatchSizes().empty());
  EXPECT_EQ(0, Append(100));  // fits, and then the batch is over the threshold
  EXPECT_EQ((std::vector<size_t>{2}), BatchSizes());

  EXPECT_EQ(0, Append(110000));
  EXPECT_EQ(0, Append(20000));  // does not fit: the batch goes first
  EXPECT_EQ((std::vector<size_t>{2, 1}), BatchSizes());
  EXPECT_EQ(1u, m_U.Lines());
}

TEST_F(LogUploaderTest, BatchesOlderThanFiveSecondsGoAtTheNextRecord) {
  EXPECT_EQ(0, Append(100));
  EXPECT_EQ(1700000000, m_U.Time());
  m_Clock.Advance(5000);
  EXPECT_EQ(0, Append(100));
  EXPECT_TRUE(BatchSizes().empty());
  m_Clock.Advance(1000);
  EXPECT_EQ(0, Append(100));
  EXPECT_EQ((std::vector<size_t>{3}), BatchSizes());
  EXPECT_EQ(0u, m_U.Lines());
  EXPECT_EQ(0, m_U.Time());
  EXPECT_EQ(1700000006u, m_Info.m_UploadTime.load());
}

TEST_F(LogUploaderTest, EnvelopeAndHeaders) {
  Append(100);
  Append(100);
  EXPECT_EQ(0, m_U.Flush());
  ASSERT_EQ(1u, m_Server.Batches().size());
  EXPECT_EQ(0u, m_Server.Batches()[0].envelope.find(
                    R"({"agentInfo":{"agentType":"SIEM_WIN","agentVersion":"5.8.0.8","agentIpKey":"agent-1",)"
                    R"("agentLicenseKey":"LIC","agentIp":"10.0.0.5","agentHostname":"host1"},)"
                    R"("uploadInfo":{"logServerIpKey":"agent-1","logServerIp":"10.0.0.5","compressType":"zip",)"
                    R"("uploadLogLine":2},"log":")"));
  cRecordedRequest request = m_Server.Requests()[0];
  EXPECT_EQ("POST", request.method);
  EXPECT_EQ("/pupload/weblog", request.target);
  EXPECT_EQ("application/json", request.Header("Content-Type"));
  EXPECT_EQ("SIEM_WIN", request.Header("BreltAgentType"));

  cLogUploader detecting;
  detecting.Begin(&m_Info, 1, 1);
  Json agentInfo(json_incref(json_object_get(detecting.Envelope(), "agentInfo")), &json_decref);
  EXPECT_STREQ("agent", json_string_value(json_object_get(agentInfo.get(), "edrDetectMode")));
  EXPECT_STREQ("block", json_string_value(json_object_get(agentInfo.get(), "edrBlockMode")));
  detecting.Begin(&m_Info, 1, 0);
  EXPECT_STREQ("detect", json_string_value(json_object_get(json_object_get(detecting.Envelope(), "agentInfo"), "edrBlockMode")));
}

TEST_F(LogUploaderTest, SystemLogRecords) {
  Json ids(json_pack("[i]", 3), &json_decref);
  Json noIds(json_array(), &json_decref);
  Json responses(json_pack("[{s:s}]", "cmd", "kill"), &json_decref);
  Json noResponses(json_array(), &json_decref);
  const std::string event = "<Event><System><EventID>4688</EventID></System></Event>";
  const std::string hash = Sha256Hex(event);
  struct cCase {
    json_t* ids;
    json_t* responses;
    std::string record;
  } cases[] = {
      {nullptr, nullptr, ""},
      {noIds.get(), responses.get(), ""},
      {ids.get(), noResponses.get(), R"(,"detectFilterIds":[3])"},
      {ids.get(), responses.get(), R"(,"detectFilterIds":[3],"edrAgentDefenseList":[{"cmd":"kill"}])"},
  };
  for (const cCase& test : cases) EXPECT_EQ(0, m_U.AppendSysLog(event, test.ids, test.responses));
  EXPECT_EQ(0, m_U.AppendSysLog("caf\xe9", nullptr, nullptr));  // not UTF-8: no "ceelog"
  EXPECT_EQ(0, m_U.Flush());
  ASSERT_EQ(1u, m_Server.Batches().size());
  cUploadedBatch batch = m_Server.Batches()[0];
  EXPECT_EQ("/pupload/syslog", batch.path);
  EXPECT_TRUE(batch.hashesIntact);
  ASSERT_EQ(5u, batch.records.size());
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(R"({"ceelog":")" + event + R"(","hash":")" + hash + '"' + cases[i].record + "}", batch.records[i]);
  }
  EXPECT_EQ(R"({"hash":")" + Sha256Hex("caf\xe9") + R"("})", batch.records[4]);
}

TEST_F(LogUploaderTest, CountersAndTheUploadTime) {
  EXPECT_EQ(0, m_U.Flush());  // empty: nothing sent
  EXPECT_EQ(0u, m_Server.RequestCount());

  m_Server.Script("POST", "/pupload/weblog",
                  std::vector<cScriptedAnswer>{cScriptedAnswer(200, R"({"returnCode":"0"})"),
                                               cScriptedAnswer(200, R"({"returnCode":"0","dataNotFoundCode":"1"})"),
                                               cScriptedAnswer(200, R"({"returnCode":"98000"})"),
                                               cScriptedAnswer(500, "<html>down</html>")});
  Append(100);
  Append(100);
  EXPECT_EQ(0, m_U.Flush());
  EXPECT_EQ(1700000000u, m_Info.m_UploadTime.load());
  m_Clock.Advance(60000);
  Append(100);
  EXPECT_EQ(1, m_U.Flush());
  Append(100);
  EXPECT_EQ(-3, m_U.Flush());
  EXPECT_EQ(1u, m_Info.m_Uninstall.load());
  Append(100);
  EXPECT_EQ(-1, m_U.Flush());
  EXPECT_EQ(1700000000u, m_Info.m_UploadTime.load());
  EXPECT_EQ(2u, m_U.OK());
  EXPECT_EQ(3u, m_U.Error());
  EXPECT_EQ(0u, m_U.OK());  // read and zeroed
  EXPECT_EQ(0u, m_U.Error());
  EXPECT_EQ(0u, m_U.Lines());
  EXPECT_EQ(0, m_U.Time());
}

TEST_F(LogUploaderTest, AFailedRunOfUploadsIsLoggedOnceWithItsRecordsAndItsEnd) {
  cCapturedLog log;
  m_Server.Script("POST", "/pupload/weblog",
                  std::vector<cScriptedAnswer>{cScriptedAnswer(200, R"({"returnCode":"500"})"),
                                               cScriptedAnswer(200, R"({"returnCode":"500"})"),
                                               cScriptedAnswer(200, R"({"returnCode":"0"})")});
  for (int records : {3, 2, 1}) {
    for (int each = 0; each < records; ++each) Append(100);
    m_U.Flush();
  }
  EXPECT_EQ(log.Count("failed:"), 1u) << log.Text();
  EXPECT_TRUE(log.Has("upload of 3 records to /pupload/weblog failed: -5")) << log.Text();
  EXPECT_TRUE(log.Has("uploads to /pupload/weblog succeed again after 2 failed batches of 5 records")) << log.Text();

  // A server that cannot be reached: each batch is lost, the first loss is told with the reason.
  cRefusingPort refusing;
  cLogUploader unreachable;
  unreachable.Begin(&m_Info, 0, 0);
  ASSERT_EQ(0, unreachable.Connect(L"127.0.0.1", 1, refusing.Port()));
  for (int batch = 0; batch < 3; ++batch) {
    unreachable.Append(cLogUploader::SysLog, Record(100).get());
    EXPECT_EQ(-1, unreachable.Flush());
  }
  EXPECT_EQ(3u, unreachable.Error());
  EXPECT_TRUE(log.Has("upload of 1 records to /pupload/syslog failed: -1")) << log.Text();
  EXPECT_TRUE(log.Has("request of /pupload/syslog failed: connection refused or host unreachable (12029)"))
      << log.Text();
  EXPECT_EQ(log.Count("failed:"), 3u) << log.Text();
  // Still failing at the stop: the run is told with its length.
  unreachable.Close();
  EXPECT_TRUE(log.Has("uploads to /pupload/syslog failed 3 batches of 3 records in a row up to the stop"))
      << log.Text();
  EXPECT_TRUE(log.Has("request of /pupload/syslog failed 3 times in a row up to the stop")) << log.Text();
}

// An upload whose answer broke off, on a new connection or on one kept from an answer before, over
// HTTP and HTTPS: once any byte of the answer came (a status line cut short too) the batch is lost
// once, with the reason, and never sent again. Only where nothing came back on a kept connection
// does it go out once more, on a new one, and arrive twice.
TEST_F(LogUploaderTest, AnUploadBrokenOffIsSentOnceUnlessNothingCameBackOnAKeptConnection) {
  using eAct = cBreakingServer::eAct;
  struct cCase {
    eAct act;
    const char* reason;  // null: nothing came back
  } cases[] = {
      {eAct::CutStatusLine, "answer cut off or malformed (12152)"},
      {eAct::HalfHead, "answer cut off or malformed (12152)"},
      {eAct::CutBody, "answer broken off: connection reset or closed by the other end (12030)"},
      {eAct::Reset, nullptr},
      {eAct::Hangup, nullptr},
  };
  for (bool secure : {false, true}) {
    for (bool kept : {false, true}) {
      for (const cCase& test : cases) {
        const std::string name = std::string(secure ? "https" : "http") + (kept ? ", kept, act " : ", new, act ") +
                                 std::to_string(static_cast<int>(test.act));
        std::vector<eAct> acts{test.act, eAct::Answer};
        if (kept) acts.insert(acts.begin(), eAct::Answer);
        cCapturedLog log;
        cBreakingServer server(acts, R"({"returnCode":"0"})", secure ? &m_Authority : nullptr);
        ASSERT_TRUE(server.Valid());
        cLogUploader uploader;
        uploader.Begin(&m_Info, 0, 0);
        ASSERT_EQ(0, uploader.Connect(L"127.0.0.1", secure, server.Port()));
        if (kept) {
          uploader.Append(cLogUploader::SysLog, Record(100).get());
          EXPECT_EQ(0, uploader.Flush()) << name;
        }
        uploader.Append(cLogUploader::SysLog, Record(100).get());
        uploader.Append(cLogUploader::SysLog, Record(100).get());
        const bool resent = kept && !test.reason;
        const bool failed = !resent;
        EXPECT_EQ(failed ? -1 : 0, uploader.Flush()) << name << "\n" << log.Text();
        EXPECT_EQ((kept ? 2u : 1u) + (resent ? 1 : 0), server.Requests().size()) << name;
        EXPECT_EQ(failed ? 2u : 0u, uploader.Error()) << name;
        if (failed) {
          const std::string reason = test.reason ? test.reason : "connection reset or closed by the other end (12030)";
          EXPECT_TRUE(log.Has("upload of 2 records to /pupload/syslog failed: -1")) << name << "\n" << log.Text();
          EXPECT_TRUE(log.Has("request of /pupload/syslog failed: " + reason)) << name << "\n" << log.Text();
        }
      }
    }
  }
}

TEST_F(LogUploaderTest, ARecordLargerThanAnyBatchGoesAlone) {
  Append(100);
  EXPECT_EQ(0, Append(200000));
  EXPECT_EQ((std::vector<size_t>{1, 1}), BatchSizes());
  EXPECT_EQ(200000u, m_Server.Batches()[1].records[0].size());
  EXPECT_EQ(0u, m_U.Lines());
  EXPECT_EQ(2u, m_U.OK());

  m_Server.Script("POST", "/pupload/weblog", cScriptedAnswer(200, R"({"returnCode":"7"})"));
  EXPECT_EQ(-5, Append(200000));
  EXPECT_EQ(1u, m_U.Error());
  EXPECT_EQ(0, Append(100));  // the batch after it starts clean
  EXPECT_EQ(1u, m_U.Lines());
}

// Text that hardly compresses: its base64 is larger than the buffer, so the envelope is too.
TEST_F(LogUploaderTest, AnEnvelopeLargerThanTheBufferIsSentWhole) {
  std::mt19937 random(7);
  auto scramble = [&random](std::string& text) {
    for (char& c : text) {
      do {
        c = static_cast<char>('!' + random() % 94);
      } while (c == '"' || c == '\\');  // nothing to escape
    }
  };
  std::string text(60000, ' ');
  scramble(text);
  Json first(json_pack("{s:s}", "t", text.c_str()), &json_decref);
  scramble(text);
  Json second(json_pack("{s:s}", "t", text.c_str()), &json_decref);
  m_U.Append(cLogUploader::WebLog, first.get());
  m_U.Append(cLogUploader::WebLog, second.get());
  EXPECT_EQ(0, m_U.Flush());
  ASSERT_EQ((std::vector<size_t>{2}), BatchSizes());
  cUploadedBatch batch = m_Server.Batches()[0];
  EXPECT_GT(batch.envelope.size(), cLogUploader::kCapacity);
  EXPECT_EQ(text, batch.records[1].substr(6, text.size()));
}

TEST_F(LogUploaderTest, CloseDropsTheBatchAndBeginStartsAfresh) {
  Append(100);
  m_U.Close();
  EXPECT_EQ(0u, m_U.Lines());
  EXPECT_EQ(-1, Append(100));  // not begun
  m_U.Begin(&m_Info, 0, 0);
  ASSERT_EQ(0, m_U.Connect(L"127.0.0.1", 1, m_Server.Port()));
  Append(100);
  EXPECT_EQ(0, m_U.Flush());
  EXPECT_EQ((std::vector<size_t>{1}), BatchSizes());
}

// The collector appends on its own thread while the status line reads the counters.
TEST_F(LogUploaderTest, CountersReadFromAnotherThread) {
  constexpr uint32_t kRecords = 3000;
  std::atomic<bool> done{false};
  std::thread collector([&] {
    for (uint32_t i = 0; i < kRecords; ++i) m_U.AppendSysLog("<Event>" + std::to_string(i) + "</Event>", nullptr, nullptr);
    m_U.Flush();
    done = true;
  });
  uint32_t uploaded = 0;
  while (!done) {
    uploaded += m_U.OK();
    EXPECT_LE(m_U.Lines(), kRecords);
    (void)m_U.Time();
    (void)m_Info.m_UploadTime.load();
  }
  collector.join();
  uploaded += m_U.OK();
  EXPECT_EQ(kRecords, uploaded);
  EXPECT_EQ(0u, m_U.Error());
  size_t received = 0;
  for (const cUploadedBatch& batch : m_Server.Batches()) {
    EXPECT_TRUE(batch.hashesIntact);
    received += batch.records.size();
  }
  EXPECT_EQ(kRecords, received);
}

}  // namespace
