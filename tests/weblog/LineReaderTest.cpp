// Whole lines of a growing file through a small buffer: lines within one read and across reads,
// a line at the longest taken and one byte longer, lines passed over also across readings and a
// chunk at a time, and lines not ended yet.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "VarloService/weblog/LineReader.h"

namespace {

constexpr size_t kLongest = 6;
constexpr size_t kChunk = 4;

struct cReading {
  std::vector<std::string> steps;  // "line:<text>" or "skipped:<first byte>+<length>"
  int64_t offset;
  int64_t skipFrom;
};

// One reading of text from offset on.
cReading Read(const std::string& text, int64_t offset = 0, int64_t skipFrom = -1, size_t chunk = kChunk) {
  std::istringstream file(text);
  cLineReader reader(kLongest, chunk);
  reader.Begin(file, offset, skipFrom);
  cReading reading;
  std::string_view line;
  for (cLineReader::eStep step; (step = reader.Next(line)) != cLineReader::kEnd;) {
    if (step == cLineReader::kPassing) continue;
    reading.steps.push_back(step == cLineReader::kLine ? "line:" + std::string(line)
                                                       : "skipped:" + std::to_string(reader.SkippedFrom()) + "+" +
                                                             std::to_string(reader.SkippedBytes()));
  }
  reading.offset = reader.Offset();
  reading.skipFrom = reader.SkipFrom();
  return reading;
}

}  // namespace

TEST(LineReaderTest, LinesWithinAndAcrossReadsAndTooLongOnes) {
  const std::string longLine(50, 'z');
  struct cCase {
    const char* what;
    std::string text;
    size_t chunk;
    std::vector<std::string> steps;
    int64_t offset;
    int64_t skipFrom;
  } cases[] = {
      {"within reads", "ab\ncd\n", kChunk, {"line:ab", "line:cd"}, 6, -1},
      {"the line feed ends a read", "abc\nd\n", kChunk, {"line:abc", "line:d"}, 6, -1},
      {"the line feed begins a read", "abcd\nef\n", kChunk, {"line:abcd", "line:ef"}, 8, -1},
      {"at the longest", "abcdef\nx\n", kChunk, {"line:abcdef", "line:x"}, 9, -1},
      {"one byte longer", "abcdefg\nx\n", kChunk, {"skipped:0+7", "line:x"}, 10, -1},
      {"longer within one read", "abcdefgh\nxy\n", 64, {"skipped:0+8", "line:xy"}, 12, -1},
      {"many reads long", "x\n" + longLine + "\nok\n", kChunk, {"line:x", "skipped:2+50", "line:ok"}, 56, -1},
      {"empty lines and a carriage return", "\n\nab\r\n", kChunk, {"line:", "line:", "line:ab\r"}, 6, -1},
      {"not ended: read again from its start", "ab\ncdef", kChunk, {"line:ab"}, 3, -1},
      {"not ended and too long: passed over so far", "ab\n" + longLine, kChunk, {"line:ab"}, 53, 3},
      {"nothing", "", kChunk, {}, 0, -1},
  };
  for (const cCase& each : cases) {
    const cReading reading = Read(each.text, 0, -1, each.chunk);
    EXPECT_EQ(reading.steps, each.steps) << each.what;
    EXPECT_EQ(reading.offset, each.offset) << each.what;
    EXPECT_EQ(reading.skipFrom, each.skipFrom) << each.what;
  }
}

TEST(LineReaderTest, ALineBeingPassedOverIsFollowedAcrossReadingsWithoutLookingBack) {
  const cReading first = Read("ok\n" + std::string(10, 'z'));
  EXPECT_EQ(first.steps, std::vector<std::string>{"line:ok"});
  ASSERT_EQ(first.offset, 13);
  ASSERT_EQ(first.skipFrom, 3);
  // Line feeds where the first reading looked already would end the line early if read again.
  const std::string grown = "ok\n" + std::string(10, '\n') + std::string(5, 'z') + "\nnext\n";
  const cReading second = Read(grown, first.offset, first.skipFrom);
  EXPECT_EQ(second.steps, (std::vector<std::string>{"skipped:3+15", "line:next"}));
  EXPECT_EQ(second.offset, static_cast<int64_t>(grown.size()));
  EXPECT_EQ(second.skipFrom, -1);
}

TEST(LineReaderTest, ALineNotEndedIsReadWholeOnceItEnds) {
  const cReading first = Read("a\nbcde");
  ASSERT_EQ(first.offset, 2);
  const cReading second = Read("a\nbcdef\ng", first.offset, first.skipFrom);
  EXPECT_EQ(second.steps, std::vector<std::string>{"line:bcdef"});
  EXPECT_EQ(second.offset, 8);
}

// Whoever reads looks at its stop between two steps: however long a line, no step passes over
// more than a chunk of it.
TEST(LineReaderTest, ALineBeingPassedOverIsHandedBackAChunkAtATime) {
  const std::string text = "ab\n" + std::string(50, 'z') + "\nok\n";
  std::istringstream file(text);
  cLineReader reader(kLongest, kChunk);
  reader.Begin(file, 0, -1);
  std::string_view line;
  std::vector<std::string> steps;
  int passing = 0;
  int64_t before = reader.Offset();
  for (cLineReader::eStep step; (step = reader.Next(line)) != cLineReader::kEnd; before = reader.Offset()) {
    if (step == cLineReader::kPassing) {
      ++passing;
      EXPECT_LE(reader.Offset() - before, static_cast<int64_t>(kLongest + kChunk)) << "at " << before;
    } else {
      steps.push_back(step == cLineReader::kLine ? std::string(line) : "skipped");
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"ab", "skipped", "ok"}));
  EXPECT_GE(passing, 10);
  EXPECT_EQ(reader.Offset(), static_cast<int64_t>(text.size()));
}
