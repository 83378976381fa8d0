// The tray program as the service starts it, without a display.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "Varlo/TrayMessages.h"
#include "Varlo/ui/UiTestHooks.h"
#include "platform/Files.h"
#include "tests/support/WaitUntil.h"
#include "tests/tray/TrayFixture.h"

namespace {

constexpr char kTrayLog[] = "C:\\Program Files\\VARLO\\logs\\event-ui.log";

std::string TrayLog() {
  std::string text;
  platform::ReadWholeFile(kTrayLog, text);
  return text;
}

// Whether a line names the source of its call and carries the text: "[Varlo:12] text".
bool Logged(const std::string& log, const std::string& source, const std::string& text) {
  const std::string opening = "[" + source + ":";
  for (size_t at = log.find(opening); at != std::string::npos; at = log.find(opening, at + 1)) {
    size_t end = log.find_first_not_of("0123456789", at + opening.size());
    if (end > at + opening.size() && log.compare(end, text.size() + 2, "] " + text) == 0)
      return true;
  }
  return false;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    count++;
  return count;
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
  EXPECT_TRUE(Logged(TrayLog(), "Varlo", "- VARLO 1 ----"));
}

TEST_F(ProgramTest, OneInstancePerSession) {
  cFakeServiceSlot service;
  platform::cSessionInfo sessions[2];
  std::unique_ptr<cTrayProgram> trays[2];
  for (int index = 0; index < 2; index++) {
    sessions[index].id = static_cast<DWORD>(index + 1);
    sessions[index].user = getpwuid(getuid())->pw_name;
    trays[index] = std::make_unique<cTrayProgram>("admin", &sessions[index]);
    // Each session's tray has a slot and a window of its own.
    ASSERT_EQ(service.Next(kLongWaitMs), cBytes({MSG_UI_USER, 1, static_cast<uint8_t>(index)}));
    ASSERT_TRUE(WaitUntil(kLongWaitMs, [&] {
      return ui::FindWindowInSession(sessions[index].id, "VarloWnd", "VARLO");
    }));
  }
  EXPECT_NE(ui::FindWindowInSession(1, "VarloWnd", "VARLO"),
            ui::FindWindowInSession(2, "VarloWnd", "VARLO"));
  // Another start by the service in either session only logs the duplicate.
  for (const platform::cSessionInfo& session : sessions) {
    cTrayProgram duplicate("admin", &session);
    EXPECT_EQ(duplicate.ExitCode(kLongWaitMs), 0);
  }
  std::string log = TrayLog();
  EXPECT_EQ(Occurrences(log, "Duplicated!!! FindWindow(VarloWnd)="), 2u);
  EXPECT_TRUE(Logged(log, "Varlo", "Duplicated!!!"));
  EXPECT_TRUE(service.Drain().empty());
  // The service's exit notice ends them.
  for (int index = 0; index < 2; index++) {
    ASSERT_TRUE(SendToTray(index, {MSG_SVC_EXIT, 0}));
    EXPECT_EQ(trays[index]->ExitCode(kLongWaitMs), 0);
  }
  EXPECT_EQ(Occurrences(TrayLog(), "!!! MSG_SVC_EXIT !!!"), 2u);
  EXPECT_TRUE(Logged(TrayLog(), "VarloWnd", "!!! MSG_SVC_EXIT !!!"));
}

TEST_F(ProgramTest, WithoutTheServiceTheWindowEnds) {
  cTrayProgram program("admin");
  EXPECT_EQ(program.ExitCode(), 0);
}
