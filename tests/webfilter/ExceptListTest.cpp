#include <gtest/gtest.h>

#include <string>

#include "VarloService/webfilter/ExceptList.h"
#include "tests/webfilter/Json.h"

using namespace webfilter;

namespace {

int Check(const cExceptList& list, const std::string& record) {
  const JsonPtr json = Json(record);
  WebDecodeBuffers buffers;
  WebRecord web(json.get(), buffers);
  return list.Check(web);
}

int CheckOne(const std::string& list, const std::string& record,
             cExceptList::eMode mode = cExceptList::kSelectExcept) {
  cExceptList exceptions(mode);
  exceptions.Load(ParseJson(list));
  return Check(exceptions, record);
}

}  // namespace

TEST(WebExceptList, TheFirstMatchingEntryDecidesAndSelectEntriesStandFirst) {
  cExceptList list(cExceptList::kSelectExcept);
  EXPECT_EQ(list.Load(ParseJson(R"([
      {"exceptType": "except", "exceptEntry": {"Host": "a"}},
      {"exceptType": "select", "exceptEntry": {"Host": "a", "Method": "GET"}}])")),
            2);
  EXPECT_EQ(Check(list, R"({"Host": "a", "Method": "GET"})"), 0);
  EXPECT_EQ(Check(list, R"({"Host": "a", "Method": "POST"})"), 1);
  EXPECT_EQ(Check(list, R"({"Host": "b", "Method": "POST"})"), 0);
}

TEST(WebExceptList, EntriesWithoutConditionsMatchEveryRecord) {
  EXPECT_EQ(CheckOne(R"([{"exceptType": "except"}])", R"({"Host": "x"})"), 1);
  EXPECT_EQ(CheckOne(R"([{"exceptType": "e", "exceptEntry": "Host"}])", R"({})"), 1);
  // A select entry that matches everything, standing first, keeps every record.
  EXPECT_EQ(CheckOne(R"([{"exceptType": "except", "exceptEntry": {"Host": "x"}}, {}])",
                     R"({"Host": "x"})"),
            0);
}

TEST(WebExceptList, ConditionsCompareTheirFields) {
  const struct {
    const char* entry;
    const char* record;
    int expected;
  } cases[] = {
      {R"({"exceptEntry": {"Extention": "php"}})", R"({"Uri": "/x/index.php", "Extention": "asp"})",
       1},
      {R"({"exceptEntry": {"Extention": "php"}})", R"({"Uri": "/x/index%2ephp"})", 1},
      {R"({"exceptEntry": {"Extention": "php"}})", R"({"Uri": "/x/index", "Extention": "php"})", 0},
      {R"({"exceptEntry": {"Extention": ""}})", R"({"Uri": "/x/index"})", 1},
      {R"({"exceptEntry": {"x-forwarded-for": "10.0.0.1"}})", R"({"X-Forwarded-For": "10.0.0.1"})",
       1},
      {R"({"exceptEntry": {"xff": "10.0.0.1"}})", R"({"X-Forwarded-For": "10.0.0.1"})", 1},
      {R"({"exceptEntry": {"X-forwarded-for": "10.0.0.1"}})",
       R"({"X-Forwarded-For": "10.0.0.1", "X-forwarded-for": "9"})", 0},
      {R"({"exceptEntry": {"Host": "^adm"}, "isRegex": {"Host": "1"}})",
       R"({"Host": "administrator"})", 1},
      {R"({"exceptEntry": {"Host": "^adm"}, "isRegex": {"Host": "0"}})",
       R"({"Host": "administrator"})", 0},
      {R"({"exceptEntry": {"Host": "^adm"}})", R"({"Host": "^adm"})", 1},
      {R"({"exceptEntry": {"Host": "adm"}})", R"({"Host": "admin"})", 0},
      {R"({"exceptEntry": {"Host": "ADM"}})", R"({"Host": "adm"})", 0},
      {R"({"exceptEntry": {"Host": "("}, "isRegex": {"Host": "1"}})", R"({"Host": "("})", 1},
      {R"({"exceptEntry": {"Uri": "^/admin"}, "isRegex": {"Uri": "1"}})", R"({"Uri": "/admin%ff"})",
       1},
      {R"({"exceptEntry": {"Path": "/x"}})", R"({"Uri": "/x"})", 0},
      {R"({"exceptEntry": {"Path": "/x"}})", R"({"Path": "/x"})", 1},
      {R"({"exceptEntry": {"Uri": "/a b"}})", R"({"Uri": "/a%20b"})", 1},
      {R"({"exceptEntry": {"Host": ""}})", R"({})", 0},
      {R"({"exceptEntry": {"Host": "5"}})", R"({"Host": 5})", 0},
      {R"({"exceptEntry": {"Host": 5}})", R"({"Host": "5"})", 0},
      {R"({"exceptEntry": {"Referer": ""}})", R"({})", 1},
      {R"({"exceptEntry": {"Post-body": "a=b"}})",
       R"({"Post-body": "a%3Db", "Req-Content-Type": "application/x-www-form-urlencoded"})", 1},
      {R"({"exceptEntry": {"Host": "a", "Method": "GET"}})", R"({"Host": "a"})", 0},
  };
  for (const auto& c : cases) {
    const std::string list = std::string("[{\"exceptType\": \"except\", ") + (c.entry + 1) + "]";
    EXPECT_EQ(CheckOne(list, c.record), c.expected) << c.entry << " on " << c.record;
  }
}

TEST(WebExceptList, BlockOnlyModeKeepsOnlyEntriesMarkedZero) {
  cExceptList waf(cExceptList::kBlockOnly);
  EXPECT_EQ(waf.Load(ParseJson(R"([
      {"isBlockOnly": "1"},
      {"isBlockOnly": "0", "exceptEntry": {"Uri": "/health"}},
      {"exceptEntry": {}},
      {"isBlockOnly": "0", "exceptEntry": {"Host": "^int"}, "isRegex": {"Host": "1"}}])")),
            4);
  EXPECT_EQ(Check(waf, R"({"Uri": "/health"})"), 2);
  EXPECT_EQ(Check(waf, R"({"Host": "internal"})"), 2);
  // The entries that were not loaded would have matched anything.
  EXPECT_EQ(Check(waf, R"({"Uri": "/", "Host": "x"})"), 0);

  EXPECT_EQ(
      CheckOne(R"([{"isBlockOnly": "1"}, {"isBlockOnly": 0}])", R"({})", cExceptList::kBlockOnly),
      0);
  EXPECT_EQ(CheckOne(R"([{"isBlockOnly": "0"}])", R"({})", cExceptList::kBlockOnly), 2);
}

TEST(WebExceptList, LoadReplacesEverything) {
  cExceptList list(cExceptList::kSelectExcept);
  list.Load(ParseJson(R"([{"exceptType": "except"}])"));
  EXPECT_EQ(Check(list, R"({})"), 1);
  EXPECT_EQ(list.Load(nullptr), 0);
  EXPECT_EQ(Check(list, R"({})"), 0);
}
