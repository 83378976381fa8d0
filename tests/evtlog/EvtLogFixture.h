#pragma once
// A collector in a fresh machine root whose system-log uploads go to a fake upload server over
// HTTPS, on a manual clock, with helpers to feed channels and wait for what arrives.
#include <gtest/gtest.h>
#include <jansson.h>

#include <memory>
#include <string>
#include <vector>

#include "VarloService/evtlog/EvtLogSvc.h"
#include "common/AgentInfo.h"
#include "platform/Clock.h"
#include "tests/support/EventTool.h"
#include "tests/support/FakeUploadServer.h"
#include "tests/support/TempMachineRoot.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/WaitUntil.h"

// Generous: only a fault reaches it.
constexpr int kEventWaitMs = 30000;
constexpr char kSecurity[] = "Security";
constexpr char kSysmonName[] = "Microsoft-Windows-Sysmon/Operational";

// A failed logon (Security 4625) of a user.
std::string FailedLogon(const std::string& user, unsigned number);

// Owns a parsed JSON value.
struct cJson {
  explicit cJson(const std::string& text) : value(json_loads(text.c_str(), 0, nullptr)) {}
  ~cJson() {
    if (value) json_decref(value);
  }
  json_t* value;
};

class cEvtLogFixture : public ::testing::Test {
 protected:
  cEvtLogFixture();
  ~cEvtLogFixture() override;

  void SetUp() override;

  // Appends events to a channel the service is subscribed to, from this process, and waits until
  // it has handled them.
  void Append(const std::string& channel, const std::vector<std::string>& events);
  // Waits until the collector has handled count events in all.
  bool WaitHandled(uint32_t count);
  // Sends the open batch: moves the clock past the batch age and delivers one more event (on
  // Application), which then waits for the batch on the server. Returns the batches received
  // since the last call.
  std::vector<cUploadedBatch> FlushBatches();
  // Every record's "ceelog" of the batches, in order.
  static std::vector<std::string> Ceelogs(const std::vector<cUploadedBatch>& batches);

  cTempMachineRoot m_Root;
  cTestCertificateAuthority m_Authority;
  cFakeUploadServer m_Server{&m_Authority};
  platform::cManualClock m_Clock;
  std::unique_ptr<cAgentInfo> m_AgentInfo;
  std::unique_ptr<cEvtLogSvc> m_Svc;
  size_t m_BatchesSeen = 0;
  unsigned m_FlushMarkers = 0;
};
