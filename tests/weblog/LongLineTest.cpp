// Access-log lines longer than the worker takes: passed over to their line feed without being
// held, also while the module is still writing them and when the hour's file changes under them,
// logged once; the lines around them arrive once.
#include <filesystem>
#include <string>
#include <vector>

#include "common/AnswerLimits.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ProcessUsage.h"
#include "tests/weblog/WebLogFixture.h"

namespace {

std::string Line(const std::string& uri) { return R"({"Uri":")" + uri + R"("})"; }

// A record line of exactly length bytes.
std::string LineOfLength(size_t length) {
  const std::string frame = R"({"Uri":"/long","Post-body":""})";
  return R"({"Uri":"/long","Post-body":")" + std::string(length - frame.size(), 'p') + R"("})";
}

// Lengthens the hour's file by bytes of zeros, as a sparse file: a line that has no line feed yet.
void GrowWithoutLineFeed(const std::string& file, int64_t bytes) {
  const std::string host = platform::MapPath(file);
  std::filesystem::resize_file(host, std::filesystem::file_size(host) + static_cast<uintmax_t>(bytes));
}

}  // namespace

TEST_F(cWebLogTest, ALineOf100MBWithoutALineFeedIsPassedOverWithoutBeingHeldAndTheOthersArriveOnce) {
  cCapturedLog log;
  StartBehindAnOldLine();
  const std::string file = cWebModuleStandIn::HourFile(m_Clock.Now());
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(Line("/before") + "\n"));
  ASSERT_TRUE(WaitUntilRead());
  const int64_t lineStart = platform::FileSize(file);
  const double usual = ResidentMiB();

  GrowWithoutLineFeed(file, 100 * kMiB);
  ASSERT_TRUE(WaitUntilRead()) << "the line is looked at again and again";
  EXPECT_LT(ResidentMiB() - usual, 8.0) << "the line is held";
  // The module is still writing it.
  GrowWithoutLineFeed(file, kMiB);
  ASSERT_TRUE(WaitUntilRead());
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw("\n" + Line("/after") + "\n" + Line("/last") + "\n"));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_LT(ResidentMiB() - usual, 8.0);

  EXPECT_EQ((std::vector<std::string>{Uploaded(Line("/before")), Uploaded(Line("/after")), Uploaded(Line("/last"))}),
            FlushedRecords(3));
  EXPECT_EQ(log.Count("skipped"), 1u) << log.Text();
  EXPECT_TRUE(log.Has("WebLog line at " + std::to_string(lineStart) + " skipped: " + std::to_string(101 * kMiB) +
                      " bytes, more than " + std::to_string(cWebLogSvc::kLongestLine) + "\n"))
      << log.Text();
}

TEST_F(cWebLogTest, ALineAtTheLongestIsTakenAndOneByteLongerIsSkipped) {
  cCapturedLog log;
  StartBehindAnOldLine();
  const std::string atTheLongest = LineOfLength(cWebLogSvc::kLongestLine);
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(atTheLongest + "\n" + LineOfLength(cWebLogSvc::kLongestLine + 1) + "\n" +
                                           Line("/after") + "\n"));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_EQ((std::vector<std::string>{Uploaded(atTheLongest), Uploaded(Line("/after"))}), FlushedRecords(2));
  EXPECT_EQ(log.Count("skipped"), 1u) << log.Text();
  EXPECT_TRUE(log.Has(" skipped: " + std::to_string(cWebLogSvc::kLongestLine + 1) + " bytes")) << log.Text();
}

TEST_F(cWebLogTest, TheNextHoursFileTakenUnderALineBeingPassedOverLeavesItOnceAndIsReadWhole) {
  cCapturedLog log;
  StartBehindAnOldLine();
  const std::string file = cWebModuleStandIn::HourFile(m_Clock.Now());
  const int64_t lineStart = platform::FileSize(file);
  GrowWithoutLineFeed(file, 5 * kMiB);
  ASSERT_TRUE(WaitUntilRead());

  m_Clock.SetNow(kMay1At1400 + 600);
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(Line("/hour-14") + "\n"));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_EQ((std::vector<std::string>{Uploaded(Line("/hour-14"))}), FlushedRecords(1));
  EXPECT_EQ(log.Count("skipped"), 1u) << log.Text();
  EXPECT_TRUE(log.Has("WebLog line at " + std::to_string(lineStart) + " skipped: " + std::to_string(5 * kMiB) +
                      " bytes without a line feed"))
      << log.Text();
}
