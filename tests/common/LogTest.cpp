#include <gtest/gtest.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/InstallLayout.h"
#include "common/Log.h"
#include "platform/Files.h"
#include "tests/support/TempMachineRoot.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("", std::make_shared<spdlog::sinks::stdout_color_sink_mt>()));
  }

  std::string ReadLog(const std::string& windowsPath) {
    std::ifstream file(platform::MapPath(windowsPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  cTempMachineRoot m_Root;
  const std::string m_LogPath = "C:\\Program Files\\VARLO\\logs\\event.log";
};

}  // namespace

TEST_F(LogTest, FileLoggerIsTheDefaultNamedEventAndFlushesEveryRecord) {
  EXPECT_EQ(InitFileLog(m_LogPath), 0);
  EXPECT_EQ(spdlog::default_logger()->name(), "event");
  SPDLOG_INFO("- VARLO Service v{} ----", "5.8.0.8");
  const std::string text = ReadLog(m_LogPath);
  EXPECT_NE(text.find("] [event] [info] [LogTest.cpp:"), std::string::npos) << text;
  EXPECT_NE(text.find("- VARLO Service v5.8.0.8 ----"), std::string::npos) << text;
}

TEST_F(LogTest, OpeningDoesNotRotateAFullFileButTheNextRecordsDo) {
  ASSERT_TRUE(MakeInstallFolders().empty());
  {
    std::ofstream full(platform::MapPath(m_LogPath), std::ios::binary);
    full << std::string(kLogFileBytes, 'x');
  }
  InitFileLog(m_LogPath);
  EXPECT_FALSE(platform::FileExists("C:\\Program Files\\VARLO\\logs\\event.1.log"));
  SPDLOG_INFO("first record");
  EXPECT_EQ(platform::FileSize("C:\\Program Files\\VARLO\\logs\\event.1.log"), static_cast<int64_t>(kLogFileBytes));
  EXPECT_NE(ReadLog(m_LogPath).find("first record"), std::string::npos);
  const std::string line(1000, 'y');
  for (size_t i = 0; i < 6 * kLogFileBytes / line.size(); ++i) SPDLOG_INFO("{}", line);
  const std::string folder = platform::MapPath("C:\\Program Files\\VARLO\\logs");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    ++files;
    EXPECT_LE(entry.file_size(), kLogFileBytes);
  }
  EXPECT_EQ(files, 1 + kLogFiles);
}

TEST_F(LogTest, FailureIsLoggedOnTheLoggerInPlaceWhichStays) {
  InitFileLog(m_LogPath);
  // A file where the folder should be: the library cannot open the log.
  std::ofstream(platform::MapPath("C:\\blocker")) << "a file";
  EXPECT_EQ(InitFileLog("C:\\blocker\\logs\\event.log"), 0);
  SPDLOG_INFO("still here");
  const std::string text = ReadLog(m_LogPath);
  EXPECT_NE(text.find("[error]"), std::string::npos) << text;
  EXPECT_NE(text.find("still here"), std::string::npos) << text;
}

TEST_F(LogTest, ConsoleLoggerIsTheDefaultNamedEvent) {
  InitConsoleLog();
  EXPECT_EQ(spdlog::default_logger()->name(), "event");
  EXPECT_EQ(spdlog::default_logger()->flush_level(), spdlog::level::trace);
}

TEST(ForLog, EscapesControlCharactersAndCutsWhereTheLoggedFormPassesItsBound) {
  const std::string longText(1000, 'x');
  const std::string beforeTwoByteLetter = std::string(kLoggedTextBytes - 1, 'y') + "\xc3\xa9z";
  struct cCase {
    std::string text;
    size_t maxBytes;
    std::string logged;
  } cases[] = {
      {"5.9.0.1", kLoggedTextBytes, "5.9.0.1"},
      {"a\nb\r\tc", kLoggedTextBytes, "a\\nb\\r\\tc"},
      {std::string("\x1b[31m\x7f\0z", 8), kLoggedTextBytes, "\\x1b[31m\\x7f\\x00z"},
      {"C:\\Program Files\\VARLO", kLoggedTextBytes, "C:\\Program Files\\VARLO"},
      {longText, kLoggedTextBytes, std::string(kLoggedTextBytes, 'x') + "... (1000 bytes)"},
      {beforeTwoByteLetter, kLoggedTextBytes, std::string(kLoggedTextBytes - 1, 'y') + "... (302 bytes)"},
      // Escapes count as what they take in the line, and one is never split.
      {std::string(200, '\0'), kLoggedTextBytes, [] {
         std::string escapes;
         for (size_t i = 0; i < kLoggedTextBytes / 4; ++i) escapes += "\\x00";
         return escapes + "... (200 bytes)";
       }()},
      {"abc\n", 4, "abc... (4 bytes)"},
      {std::string(10000, 'x'), kLoggedContentBytes, std::string(kLoggedContentBytes, 'x') + "... (10000 bytes)"},
  };
  for (const cCase& test : cases) EXPECT_EQ(ForLog(test.text, test.maxBytes), test.logged) << test.text;
}
