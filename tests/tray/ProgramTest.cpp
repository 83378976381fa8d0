// The tray program as the service starts it, without a display.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "Varlo/TrayMessages.h"
#include "platform/Files.h"
#include "tests/tray/TrayFixture.h"

namespace {

constexpr char kTrayLog[] = "C:\\Program Files\\VARLO\\logs\\event-ui.log";

std::string TrayLog() {
  std::string text;
  platform::ReadWholeFile(kTrayLog, text);
  return text;
}

}  // namespace

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("DISPLAY"); }
  cTempMachineRoot m_Root;
};

TEST_F(ProgramTest, AStartWithoutInstanceAsksTheServiceToStartEverywhere) {
  for (const char* argument : {"", "update"}) {
    cFakeServiceSlot service;
    cTrayProgram program(argument);
    EXPECT_EQ(program.ExitCode(), 0);
    EXPECT_EQ(service.Next(), cBytes({MSG_UI_USER, 2, 0})) << argument;
  }
  cTrayProgram withoutService("");
  EXPECT_EQ(withoutService.ExitCode(), 254);  // -2
  EXPECT_NE(TrayLog().find("- VARLO 1 ----"), std::string::npos);
}

TEST_F(ProgramTest, OneInstancePerMachineRoot) {
  cFakeServiceSlot service;
  cTrayProgram first("admin");
  ASSERT_EQ(service.Next(5000), cBytes({MSG_UI_USER, 1, 0}));
  // Another start by the service only logs the duplicate.
  cTrayProgram duplicate("admin");
  EXPECT_EQ(duplicate.ExitCode(), 0);
  EXPECT_NE(TrayLog().find("Duplicated!!! FindWindow(VarloWnd)="), std::string::npos);
  // A start by the user brings the running instance's window up.
  ASSERT_TRUE(SendToTray(0, {MSG_SVC_STATUS, 2, 0}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  cTrayProgram user("");
  EXPECT_EQ(user.ExitCode(), 0);
  EXPECT_EQ(service.Next(5000), cBytes({MSG_UI_PAGE, 1, 0}));
  // The service's exit notice ends it.
  ASSERT_TRUE(SendToTray(0, {MSG_SVC_EXIT, 0}));
  EXPECT_EQ(first.ExitCode(), 0);
  EXPECT_NE(TrayLog().find("!!! MSG_SVC_EXIT !!!"), std::string::npos);
}

TEST_F(ProgramTest, WithoutTheServiceTheWindowEnds) {
  cTrayProgram program("admin");
  EXPECT_EQ(program.ExitCode(), 0);
}
