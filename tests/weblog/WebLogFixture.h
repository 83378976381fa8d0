#pragma once
// A web-log service in a machine root of its own, at a chosen local hour of a manual clock (the
// zone is UTC for the test's life), with an upload server that decodes what it receives.
#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "VarloService/weblog/WebLogSvc.h"
#include "common/AgentInfo.h"
#include "common/Nvm.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "tests/support/FakeUploadServer.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/WaitUntil.h"
#include "tests/weblog/WebModuleStandIn.h"

// 2024-05-01 13:20:00 UTC.
constexpr int64_t kMay1At1320 = 1714569600;
constexpr int64_t kMay1At1400 = 1714572000;
// Only a fault reaches it, also under sanitizers on a busy machine.
constexpr int kWebLogWaitMs = kLongWaitMs;
// The worker's rest in the tests, so a cycle follows soon after the last.
constexpr uint32_t kTestWakeMs = 10;

class cWebLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* zone = std::getenv("TZ")) m_PreviousZone = zone;
    setenv("TZ", "UTC", 1);
    tzset();
    platform::SetClock(&m_Clock);
    ASSERT_TRUE(m_Authority.Valid());
    ASSERT_TRUE(m_Authority.InstallAsTrusted());
    ASSERT_TRUE(m_Server.Start());
    ASSERT_EQ(0, NvmDomain(1).SetString(NvmDomain::UploadWeb, m_Server.Url("/")));
    m_Info.m_AgentId = "agent-1";
    m_Info.m_HostName = "web-01";
  }
  void TearDown() override {
    m_Svc.Stop();
    platform::SetClock(nullptr);
    if (m_PreviousZone.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", m_PreviousZone.c_str(), 1);
    }
    tzset();
  }

  static json_t* Parse(const std::string& text) {
    json_error_t error;
    json_t* value = json_loadb(text.data(), text.size(), JSON_DECODE_ANY | JSON_ALLOW_NUL, &error);
    EXPECT_NE(nullptr, value) << error.text << " in " << text;
    return value;
  }

  // Starts the worker on an hourly file that already holds a line, which is never uploaded, and
  // waits until the worker has placed its cursor behind it.
  void StartBehindAnOldLine() {
    ASSERT_TRUE(cWebModuleStandIn::AppendRaw(R"({"Uri":"/before-start"})"
                                             "\n"));
    ASSERT_EQ(0, m_Svc.Start(&m_Info));
    ASSERT_TRUE(WaitUntilRead());
  }

  // Waits until the worker has read the file of the clock's hour up to its end.
  bool WaitUntilRead() {
    const std::string file = cWebModuleStandIn::HourFile(m_Clock.Now());
    return WaitUntil(kWebLogWaitMs, [&] { return m_Svc.Cursor() == platform::FileSize(file); });
  }

  // The records of every batch received so far, as compact JSON.
  std::vector<std::string> UploadedRecords() const {
    std::vector<std::string> records;
    for (const cUploadedBatch& batch : m_Server.Batches()) {
      EXPECT_EQ("", batch.error);
      EXPECT_EQ("/pupload/weblog", batch.path);
      records.insert(records.end(), batch.records.begin(), batch.records.end());
    }
    return records;
  }

  // Ages the open batch past its limit and waits until the worker has sent count records.
  std::vector<std::string> FlushedRecords(size_t count) {
    m_Clock.Advance(6000);
    EXPECT_TRUE(WaitUntil(kWebLogWaitMs, [&] { return UploadedRecords().size() >= count; }));
    return UploadedRecords();
  }

  static std::string Uploaded(const std::string& ceelog) {
    return "{\"ceelog\":" + ceelog + ",\"hash\":\"...\"}";
  }

  cTempMachineRoot m_Root;
  std::string m_PreviousZone;
  platform::cManualClock m_Clock{kMay1At1320};
  cTestCertificateAuthority m_Authority;
  cFakeUploadServer m_Server{&m_Authority};
  cAgentInfo m_Info;
  cWebLogSvc m_Svc{kTestWakeMs};
};
