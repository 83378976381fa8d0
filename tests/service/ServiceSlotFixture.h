#pragma once
// One service object with its slot open in a temporary machine root, its log captured, reading
// with a short time-out so that a command loop returns once the slot is quiet. Its clock stands
// still, so a pass never ends at its deadline while messages are still queued.
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>

#include "VarloService/service/VarloService.h"
#include "platform/Clock.h"
#include "tests/support/TempMachineRoot.h"

class cServiceSlotFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    m_PreviousLogger = spdlog::default_logger();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>(
        "event", std::make_shared<spdlog::sinks::ostream_sink_mt>(m_Log)));
    m_Service = std::make_unique<cVarloService>(m_Clock);
    m_Service->m_UI.Open();
    m_Service->SetReadTimeout(50);
  }
  void TearDown() override {
    m_Service.reset();
    spdlog::set_default_logger(m_PreviousLogger);
  }
  bool Logged(const std::string& line) const { return m_Log.str().find(line) != std::string::npos; }

  cTempMachineRoot m_Root;
  platform::cManualClock m_Clock;
  std::ostringstream m_Log;
  std::shared_ptr<spdlog::logger> m_PreviousLogger;
  std::unique_ptr<cVarloService> m_Service;
};
