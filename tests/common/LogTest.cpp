#include <gtest/gtest.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

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

namespace {

// The UTF-8 form of a code point below U+10000.
std::string Utf8(uint32_t codePoint) {
  if (codePoint < 0x80) return std::string(1, static_cast<char>(codePoint));
  if (codePoint < 0x800)
    return {static_cast<char>(0xC0 | codePoint >> 6), static_cast<char>(0x80 | (codePoint & 0x3F))};
  return {static_cast<char>(0xE0 | codePoint >> 12), static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)),
          static_cast<char>(0x80 | (codePoint & 0x3F))};
}

// The characters escaped beside the control characters of one byte: the C1 controls, the line
// and paragraph separators and every bidirectional control.
std::vector<uint32_t> EscapedCharacters() {
  std::vector<uint32_t> escaped;
  for (uint32_t codePoint = 0x80; codePoint <= 0x9F; ++codePoint) escaped.push_back(codePoint);
  for (uint32_t codePoint : {0x061C, 0x200E, 0x200F}) escaped.push_back(codePoint);
  for (uint32_t codePoint = 0x2028; codePoint <= 0x202E; ++codePoint) escaped.push_back(codePoint);
  for (uint32_t codePoint = 0x2066; codePoint <= 0x2069; ++codePoint) escaped.push_back(codePoint);
  return escaped;
}

// The former form, one byte or escaped character at a time, that the form copying runs must
// match: the same cut, note and UTF-8 boundary, where a cut backs up no further than the last
// escape (the former form took an escape's last character away before stray continuation bytes).
std::string OneAtATime(const std::string& text, size_t maxBytes) {
  // Each escaped character's UTF-8 form and escape.
  static const std::vector<std::pair<std::string, std::string>> escapes = [] {
    std::vector<std::pair<std::string, std::string>> forms;
    for (uint32_t codePoint : EscapedCharacters()) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", codePoint);
      forms.emplace_back(Utf8(codePoint), escape);
    }
    return forms;
  }();
  std::string logged;
  size_t taken = 0;
  size_t asItIsFrom = 0;
  while (taken < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[taken]);
    std::string form(1, text[taken]);
    size_t bytes = 1;
    if (byte == '\n' || byte == '\r' || byte == '\t') {
      form = byte == '\n' ? "\\n" : byte == '\r' ? "\\r" : "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      form = escape;
    } else {
      for (const auto& [encoded, escape] : escapes) {
        if (text.compare(taken, encoded.size(), encoded) == 0) {
          form = escape;
          bytes = encoded.size();
        }
      }
    }
    if (logged.size() + form.size() > maxBytes) break;
    logged += form;
    taken += bytes;
    if (form.size() > 1) asItIsFrom = taken;
  }
  if (taken == text.size()) return logged;
  while (taken > asItIsFrom && (static_cast<unsigned char>(text[taken]) & 0xC0) == 0x80) {
    --taken;
    logged.pop_back();
  }
  return logged + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace

TEST(ForLog, EscapesSeparatorsDirectionControlsAndC1ControlsAndLeavesTheirNeighbours) {
  for (uint32_t codePoint : EscapedCharacters()) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", codePoint);
    EXPECT_EQ(ForLog("a" + Utf8(codePoint) + "b"), std::string("a") + escape + "b") << codePoint;
  }
  struct cCase {
    std::string text;
    size_t maxBytes;
    std::string logged;
  } cases[] = {
      {"user\xe2\x80\xae" "exe.txt\xe2\x80\xac", kLoggedTextBytes, "user\\u202e" "exe.txt\\u202c"},
      {"one\xc2\x85two\xe2\x80\xa8three", kLoggedTextBytes, "one\\u0085two\\u2028three"},
      {"\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7\xd8\x9c" "1\xe2\x80\x8e" "2\xe2\x80\x8f", kLoggedTextBytes,
       "\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7\\u061c" "1\\u200e" "2\\u200f"},
      // Their neighbours, and characters that share their lead bytes, are text.
      {"\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xc2\xa0\xc2\xa9\xe2\x80\x94", kLoggedTextBytes,
       "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xc2\xa0\xc2\xa9\xe2\x80\x94"},
      {"\xd8\x9b\xd8\x9d\xd8\x80\xd8\xbf\xe2\x80\x8d\xe2\x80\x90", kLoggedTextBytes,
       "\xd8\x9b\xd8\x9d\xd8\x80\xd8\xbf\xe2\x80\x8d\xe2\x80\x90"},
      // Bytes that are not UTF-8 go in as they are, a sequence cut short among them.
      {"\xc0\x8a\xff\xe2\x80", kLoggedTextBytes, "\xc0\x8a\xff\xe2\x80"},
      {"\xc2", kLoggedTextBytes, "\xc2"},
      // An escape that does not fit is left out whole.
      {std::string(kLoggedTextBytes - 2, 'y') + "\xe2\x80\xae", kLoggedTextBytes,
       std::string(kLoggedTextBytes - 2, 'y') + "... (301 bytes)"},
      // A cut among stray continuation bytes backs up to the escape before them, not into it.
      {"\n" + std::string(400, '\x80'), kLoggedTextBytes, "\\n... (401 bytes)"},
  };
  for (const cCase& test : cases) EXPECT_EQ(ForLog(test.text, test.maxBytes), test.logged) << test.text;
}

TEST(ForLog, CopyingRunsGivesWhatTheFormerFormGave) {
  const std::vector<std::string> pieces = {
      "a", "Event", " xyz=", "\n", "\r", "\t", std::string(1, '\0'), "\x1b", "\x7f", "\\", "\xc3\xa9",
      "\xe3\x81\x82", "\xf0\x9f\x98\x80", "\xc2\x85", "\xc2\x9b", "\xc2\xa9", "\xe2\x80\xa8",
      "\xe2\x80\xae", "\xe2\x81\xa6", "\xe2\x81\xa9", "\xe2\x80\x94", "\xe2\x80\xa7", "\x80", "\xbf",
      "\xc2", "\xe2", "\xe2\x80", "\xff", "\xd8\x9c", "\xd8\xa7", "\xd8", "\xe2\x80\x8e", "\xe2\x80\x8f",
      std::string(70, 'x')};
  std::mt19937 random(20261211);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const size_t count = random() % 40;
    for (size_t i = 0; i < count; ++i) {
      if (random() % 8 == 0) {
        text += static_cast<char>(random() % 256);
      } else {
        text += pieces[random() % pieces.size()];
      }
    }
    const size_t maxBytes = round % 10 == 0 ? kLoggedTextBytes : random() % 120;
    ASSERT_EQ(ForLog(text, maxBytes), OneAtATime(text, maxBytes)) << "round " << round << ", bound " << maxBytes;
  }
}
