// Which hourly file the worker reads: its place at the start, the move to the next hour's file
// once it exists, and the hours given up when the module never writes them. The steps run here
// on the test thread, with no worker.
#include "tests/weblog/WebLogFixture.h"

namespace {

std::string LogFile(const char* hour) {
  return std::string("C:\\ModVarlo\\logs\\") + hour + "-json.log";
}

}  // namespace

TEST_F(cWebLogTest, TheStartTakesTheCurrentHoursFileAtItsEnd) {
  EXPECT_EQ(0, m_Svc.InitFile());
  EXPECT_EQ(LogFile("2024050113"), m_Svc.File());
  EXPECT_EQ(0, m_Svc.Cursor());
  EXPECT_EQ(LogFile("2024050114"), m_Svc.NextFile());
  EXPECT_EQ(kMay1At1400, m_Svc.NextHour());

  ASSERT_TRUE(cWebModuleStandIn::AppendRaw("{\"a\":1}\n{\"a\":2}\n"));
  m_Svc.InitFile();
  EXPECT_EQ(16, m_Svc.Cursor());
}

TEST_F(cWebLogTest, TheHourStartsAtTheLocalHour) {
  setenv("TZ", "XST-5:30", 1);  // half an hour off the hours of UTC
  tzset();
  m_Svc.InitFile();
  EXPECT_EQ(LogFile("2024050118"), m_Svc.File());  // 18:50 local
  EXPECT_EQ(LogFile("2024050119"), m_Svc.NextFile());
  EXPECT_EQ(kMay1At1320 + 600, m_Svc.NextHour());
}

TEST_F(cWebLogTest, TheHourThatRepeatsWhenTheClockIsSetBackKeepsItsFileAndCursor) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  constexpr int64_t kNov3At0120Daylight = 1730611200;
  m_Clock.SetNow(kNov3At0120Daylight);
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw("{\"a\":1}\n"));
  m_Svc.InitFile();
  EXPECT_EQ(LogFile("2024110301"), m_Svc.NextFile());  // 01:00 standard time
  m_Clock.SetNow(kNov3At0120Daylight + 2400);
  EXPECT_EQ(1, m_Svc.RotateFile());
  EXPECT_EQ(LogFile("2024110301"), m_Svc.File());
  EXPECT_EQ(8, m_Svc.Cursor());  // the hour's lines are not read again
  EXPECT_EQ(LogFile("2024110302"), m_Svc.NextFile());
}

TEST_F(cWebLogTest, TheNextFileIsAwaitedForAnHourAndThenGivenUp) {
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw("{\"a\":1}\n"));
  m_Svc.InitFile();
  struct cStep {
    int64_t now;
    const char* createdHour;  // the module's file created before the step, if any
    int rotated;
    const char* file;
    int64_t cursor;
    const char* nextFile;
  } steps[] = {
      {kMay1At1400 - 1, nullptr, 0, "2024050113", 8, "2024050114"},
      {kMay1At1400, nullptr, 0, "2024050113", 8, "2024050114"},
      {kMay1At1400 + 3600, nullptr, 0, "2024050113", 8, "2024050114"},
      {kMay1At1400 + 3601, nullptr, 1, "2024050113", 8, "2024050115"},  // 14 o'clock given up
      {kMay1At1400 + 3602, nullptr, 0, "2024050113", 8, "2024050115"},
      {kMay1At1400 + 4200, "2024050115", 1, "2024050115", 0, "2024050116"},
      // Hours with no file are given up one per step while the old file stays the one read.
      {kMay1At1400 + 4 * 3600 + 2, nullptr, 1, "2024050115", 0, "2024050117"},
      {kMay1At1400 + 4 * 3600 + 2, nullptr, 1, "2024050115", 0, "2024050118"},
      {kMay1At1400 + 4 * 3600 + 2, nullptr, 0, "2024050115", 0, "2024050118"},
  };
  for (const cStep& step : steps) {
    SCOPED_TRACE(step.now - kMay1At1400);
    m_Clock.SetNow(step.now);
    if (step.createdHour) {
      ASSERT_TRUE(cWebModuleStandIn::AppendRawTo(LogFile(step.createdHour), "{}\n"));
    }
    EXPECT_EQ(step.rotated, m_Svc.RotateFile());
    EXPECT_EQ(LogFile(step.file), m_Svc.File());
    EXPECT_EQ(step.cursor, m_Svc.Cursor());
    EXPECT_EQ(LogFile(step.nextFile), m_Svc.NextFile());
  }
}
