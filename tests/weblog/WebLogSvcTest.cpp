// The web-log worker end to end: lines appended to the module's hourly file after the start are
// read, judged by the exception lists and filters, masked where they carry no detection and
// uploaded in the web record format.

#include <chrono>
#include <fstream>

#include "tests/support/LoopbackSocket.h"
#include "tests/weblog/WebLogFixture.h"

namespace {

constexpr char kMaskList[] = R"(["pw"])";
constexpr char kUploadExcept[] =
    R"([{"exceptType": "except", "exceptEntry": {"Host": "skip.test"}}])";
constexpr char kWafExcept[] = R"([{"isBlockOnly": "0", "exceptEntry": {"Host": "waf.test"}}])";
// The "admin" filter's expression holds an assertion condition.
constexpr char kFilters[] = R"json([
  {"webExtendsFilterId": 7, "webExtendsFilterElements": [
    {"webExtendsFilterFieldName": "Method", "webExtendsFilterFieldType": "string",
     "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "POST",
      "webExtendsFilterFieldSelectOperator": "eq", "webExtendsFilterFieldSelectValueType": "string"}]}]},
  {"webExtendsFilterId": "empty", "webExtendsFilterElements": []},
  {"webExtendsFilterId": "admin", "webExtendsFilterElements": [
    {"webExtendsFilterFieldName": "Uri", "webExtendsFilterFieldType": "string",
     "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "(?(?=/admin)/admin|/login)",
      "webExtendsFilterFieldSelectOperator": "el", "webExtendsFilterFieldSelectValueType": "regex"}]}]}])json";

}  // namespace

TEST_F(cWebLogTest, OnlyLinesAddedAfterTheStartAreUploadedAndTheStopSendsNothing) {
  m_Svc.SetLogMask(Parse(kMaskList));
  StartBehindAnOldLine();
  EXPECT_EQ(1, m_Svc.Start(&m_Info));
  ASSERT_TRUE(
      cWebModuleStandIn::AppendRaw(R"({"Uri":"/new","Request":"GET /new?pw=secret&a=1 HTTP/1.1"})"
                                   "\n"));
  ASSERT_TRUE(WaitUntilRead());

  EXPECT_EQ((std::vector<std::string>{
                Uploaded(R"({"Uri":"/new","Request":"GET /new?pw=******&a=1 HTTP/1.1"})")}),
            FlushedRecords(1));
  const cUploadedBatch batch = m_Server.Batches()[0];
  EXPECT_EQ(1, batch.uploadLogLine);
  EXPECT_EQ(std::string::npos, batch.envelope.find("edrDetectMode"));
  EXPECT_EQ(std::string::npos, batch.envelope.find("edrBlockMode"));

  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(R"({"Uri":"/unsent"})"
                                           "\n"));
  ASSERT_TRUE(WaitUntilRead());
  m_Svc.Stop();
  EXPECT_FALSE(m_Svc.Running());
  m_Svc.Stop();
  EXPECT_EQ(1u, m_Server.Batches().size());
}

TEST_F(cWebLogTest, ExceptionListsFiltersAndMaskingDecideEachRecord) {
  m_Svc.SetLogMask(Parse(kMaskList));
  m_Svc.SetUploadExcept(Parse(kUploadExcept));
  m_Svc.SetWafExcept(Parse(kWafExcept));
  m_Svc.SetWebFilter(Parse(kFilters));
  StartBehindAnOldLine();
  struct cCase {
    const char* why;
    const char* line;
    const char* uploaded;  // null: not uploaded
  } cases[] = {
      {"upload exception wins over everything",
       R"({"Host":"skip.test","Method":"POST","Uri":"/admin","Request":"GET /?pw=1 HTTP/1.1"})",
       nullptr},
      {"WAF exception: module detections removed, masked, filters not tested",
       R"({"Host":"waf.test","Method":"POST","Request":"GET /?pw=12 HTTP/1.1","webExtendsDetects":[{"m":1}]})",
       R"({"Host":"waf.test","Method":"POST","Request":"GET /?pw=** HTTP/1.1"})"},
      {"two filters: two entries in filter order, unmasked",
       R"({"Host":"h","Method":"POST","Uri":"/admin","Request":"GET /?pw=1 HTTP/1.1"})",
       R"({"Host":"h","Method":"POST","Uri":"/admin","Request":"GET /?pw=1 HTTP/1.1","webExtendsDetects":[)"
       R"({"webExtendsFilterId":7,"matchedItem":[]},{"webExtendsFilterId":"admin","matchedItem":[]}]})"},
      {"filter entries follow the module's own",
       R"({"Host":"h","Method":"POST","Request":"GET /?pw=1 HTTP/1.1","webExtendsDetects":[{"m":2}]})",
       R"({"Host":"h","Method":"POST","Request":"GET /?pw=1 HTTP/1.1","webExtendsDetects":[{"m":2},)"
       R"({"webExtendsFilterId":7,"matchedItem":[]}]})"},
      {"module detection alone: unchanged, unmasked",
       R"({"Host":"h","Method":"GET","Request":"GET /?pw=1 HTTP/1.1","webExtendsDetects":[{"m":3}],"Other":[1,{"x":null}]})",
       R"({"Host":"h","Method":"GET","Request":"GET /?pw=1 HTTP/1.1","webExtendsDetects":[{"m":3}],"Other":[1,{"x":null}]})"},
      {"nothing found: masked", R"({"Host":"h","Method":"GET","Request":"GET /?pw=1 HTTP/1.1"})",
       R"({"Host":"h","Method":"GET","Request":"GET /?pw=* HTTP/1.1"})"},
  };
  std::vector<std::string> expected;
  std::string lines;
  for (const cCase& test : cases) {
    lines += std::string(test.line) + "\n";
    if (test.uploaded) expected.push_back(Uploaded(test.uploaded));
  }
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(lines));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_EQ(expected, FlushedRecords(expected.size()));
}

TEST_F(cWebLogTest, LinesThatAreNotRecordsAreSkippedAndAnUnfinishedLineWaitsForItsEnd) {
  StartBehindAnOldLine();
  const int64_t start = m_Svc.Cursor();
  const std::string lines = std::string("not json\n") + "[1,2]\n" + "\n" +
                            R"({"a":"x\u0000y"})"
                            "\r\n" +
                            R"({"b":1} {"c":2})"
                            "\n" +
                            R"({"d":)";
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(lines));
  const int64_t whole = start + static_cast<int64_t>(lines.size() - std::string(R"({"d":)").size());
  ASSERT_TRUE(WaitUntil(kWebLogWaitMs, [&] { return m_Svc.Cursor() == whole; }));
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw("3}\n"));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_EQ((std::vector<std::string>{Uploaded(R"({"a":"x\u0000y"})"), Uploaded(R"({"d":3})")}),
            FlushedRecords(2));
}

TEST_F(cWebLogTest, TheNextHoursFileIsReadFromItsFirstByte) {
  StartBehindAnOldLine();
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(R"({"hour":13})"
                                           "\n"));
  ASSERT_TRUE(WaitUntilRead());
  m_Clock.SetNow(kMay1At1400 + 600);
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(R"({"hour":14,"first":1})"
                                           "\n"
                                           R"({"hour":14,"second":2})"
                                           "\n"));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_EQ(
      (std::vector<std::string>{Uploaded(R"({"hour":13})"), Uploaded(R"({"hour":14,"first":1})"),
                                Uploaded(R"({"hour":14,"second":2})")}),
      FlushedRecords(3));
  m_Svc.Stop();
  EXPECT_EQ("C:\\ModVarlo\\logs\\2024050114-json.log", m_Svc.File());
}

TEST_F(cWebLogTest, ARestartedWorkerMasksNothingUntilItIsHandedAListAgain) {
  m_Svc.SetLogMask(Parse(kMaskList));
  StartBehindAnOldLine();
  m_Svc.Stop();
  StartBehindAnOldLine();
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(R"({"Request":"GET /?pw=1 HTTP/1.1"})"
                                           "\n"));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_EQ((std::vector<std::string>{Uploaded(R"({"Request":"GET /?pw=1 HTTP/1.1"})")}),
            FlushedRecords(1));
}

TEST_F(cWebLogTest, TenThousandRealRequestsArriveOnceAndInOrder) {
  const std::string path = VARLO_TESTDATA_DIR "/weblog/apache_logs";
  std::ifstream in(path);
  if (!in) GTEST_SKIP() << "test data not found: " << path;
  StartBehindAnOldLine();
  std::string lines;
  std::vector<std::string> expected;
  for (std::string text; std::getline(in, text);) {
    json_t* record = cWebModuleStandIn::RecordFromCombined(text);
    if (!record) continue;
    char* dumped = json_dumps(record, JSON_COMPACT);
    lines += std::string(dumped) + "\n";
    expected.push_back(Uploaded(dumped));
    std::free(dumped);
    json_decref(record);
  }
  ASSERT_GT(expected.size(), 9000u);
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(lines));
  ASSERT_TRUE(WaitUntilRead());
  const std::vector<std::string> uploaded = FlushedRecords(expected.size());
  EXPECT_GT(m_Server.Batches().size(), 10u);
  ASSERT_EQ(expected.size(), uploaded.size());
  for (size_t i = 0; i < expected.size(); ++i)
    ASSERT_EQ(expected[i], uploaded[i]) << "record " << i;
}

TEST_F(cWebLogTest, AFileMadeAnewWithinItsHourIsReadFromItsStart) {
  StartBehindAnOldLine();
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(R"({"Uri":"/before-the-module-restarted"})"
                                           "\n"));
  ASSERT_TRUE(WaitUntilRead());
  // The module starts the hour's file again, shorter than what was read of it.
  ASSERT_TRUE(platform::WriteFileAtomically(cWebModuleStandIn::HourFile(m_Clock.Now()),
                                            R"({"Uri":"/after"})"
                                            "\n"));
  ASSERT_TRUE(WaitUntilRead());
  EXPECT_EQ((std::vector<std::string>{Uploaded(R"({"Uri":"/before-the-module-restarted"})"),
                                      Uploaded(R"({"Uri":"/after"})")}),
            FlushedRecords(2));
}

// The module writes one more line to the hour's file and at once makes the file anew, larger than
// what was read of the old one: every line of both files arrives once, in order.
class cWebLogRemadeFileTest : public cWebLogTest {
 protected:
  using cMakeAnew = bool (*)(const std::string& file, const std::string& lastOldLine,
                             const std::string& newLines);

  static std::string Line(const char* file, int number) {
    return std::string(R"({")") + file + R"(":)" + std::to_string(number) + "}";
  }

  void ExpectEveryLineOnce(cMakeAnew makeAnew) {
    StartBehindAnOldLine();
    std::vector<std::string> expected;
    std::string oldLines;
    for (int number = 1; number <= 5; ++number) {
      oldLines += Line("old", number) + "\n";
      expected.push_back(Uploaded(Line("old", number)));
    }
    ASSERT_TRUE(cWebModuleStandIn::AppendRaw(oldLines));
    ASSERT_TRUE(WaitUntilRead());
    expected.push_back(Uploaded(Line("old", 6)));
    std::string newLines;
    for (int number = 1; number <= 9; ++number) {
      newLines += Line("new", number) + "\n";
      expected.push_back(Uploaded(Line("new", number)));
    }
    const std::string file = cWebModuleStandIn::HourFile(m_Clock.Now());
    const std::string lastOldLine = Line("old", 6) + "\n";
    ASSERT_GT(static_cast<int64_t>(newLines.size()),
              platform::FileSize(file) + static_cast<int64_t>(lastOldLine.size()));
    ASSERT_TRUE(makeAnew(file, lastOldLine, newLines));
    ASSERT_TRUE(WaitUntilRead());
    EXPECT_EQ(expected, FlushedRecords(expected.size()));
  }
};

TEST_F(cWebLogRemadeFileTest, ReplacedByAFileMovedOverIt) {
  ExpectEveryLineOnce([](const std::string& file, const std::string& lastOldLine,
                         const std::string& newLines) {
    const std::string written = file + ".new";
    return platform::WriteFileAtomically(written, newLines) &&
           cWebModuleStandIn::AppendRawTo(file, lastOldLine) &&
           platform::MoveReplacing(written, file);
  });
}

// The file system may give the new file the inode of the deleted one.
TEST_F(cWebLogRemadeFileTest, DeletedAndCreated) {
  ExpectEveryLineOnce([](const std::string& file, const std::string& lastOldLine,
                         const std::string& newLines) {
    return cWebModuleStandIn::AppendRawTo(file, lastOldLine) && platform::DeletePath(file) &&
           cWebModuleStandIn::AppendRawTo(file, newLines);
  });
}

TEST_F(cWebLogTest, AStopDuringAFlushToAServerThatDoesNotAnswerEndsWithinTheWorkersRest) {
  cSilentPort silent;
  ASSERT_TRUE(silent.Listening());
  ASSERT_EQ(0, NvmDomain(1).SetString(NvmDomain::UploadWeb, "http://127.0.0.1:" + std::to_string(silent.Port()) + "/"));
  StartBehindAnOldLine();
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(R"({"Uri":"/in-flight"})"
                                           "\n"));
  ASSERT_TRUE(WaitUntilRead());
  m_Clock.Advance(6000);
  ASSERT_TRUE(silent.AwaitConnection(kWebLogWaitMs)) << "the flush did not come";

  const auto begin = std::chrono::steady_clock::now();
  m_Svc.Stop();
  // The bound of the worker's rest, within which every stop returns; an unanswered upload would
  // hold it for a minute.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(cWebLogSvc::kWakeMs));
  EXPECT_FALSE(m_Svc.Running());
}
