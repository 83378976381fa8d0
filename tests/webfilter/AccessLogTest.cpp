// The web rules over real access logs: ten thousand requests of a public web server, turned into
// the records the web-server module writes.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "VarloService/webfilter/FilterSet.h"
#include "VarloService/webfilter/LogMask.h"
#include "tests/webfilter/Json.h"

using namespace webfilter;

namespace {

struct LogLine {
  std::string address, request, referer, agent;
};

// Combined log format: address - - [time] "request" status size "referer" "agent".
bool ParseCombined(const std::string& line, LogLine& out) {
  const size_t space = line.find(' ');
  const size_t q1 = line.find('"');
  const size_t q2 = line.find('"', q1 + 1);
  const size_t q3 = line.find('"', q2 + 1);
  const size_t q4 = line.find('"', q3 + 1);
  const size_t q5 = line.find('"', q4 + 1);
  const size_t q6 = line.find('"', q5 + 1);
  if (space == std::string::npos || q6 == std::string::npos) return false;
  out = {line.substr(0, space), line.substr(q1 + 1, q2 - q1 - 1), line.substr(q3 + 1, q4 - q3 - 1),
         line.substr(q5 + 1, q6 - q5 - 1)};
  return true;
}

json_t* Record(const LogLine& line) {
  json_t* record = json_object();
  json_object_set_new(record, "Remote-addr", json_string(line.address.c_str()));
  const size_t space = line.request.find(' ');
  json_object_set_new(record, "Method", json_string(line.request.substr(0, space).c_str()));
  json_object_set_new(record, "Request", json_string(line.request.c_str()));
  const size_t uriEnd = line.request.find_first_of("? ", space + 1);
  json_object_set_new(record, "Uri",
                      json_string(line.request.substr(space + 1, uriEnd - space - 1).c_str()));
  json_object_set_new(record, "Referer", json_string(line.referer.c_str()));
  json_object_set_new(record, "User-Agent", json_string(line.agent.c_str()));
  return record;
}

// Whether the query string holds a "flav" parameter with a value.
bool HasFlavValue(const std::string& request) {
  const size_t query = request.find('?');
  if (query == std::string::npos) return false;
  const std::string pairs = "&" + request.substr(query + 1, request.find(' ', query) - query - 1);
  const size_t flav = pairs.find("&flav=");
  return flav != std::string::npos && flav + 6 < pairs.size() && pairs[flav + 6] != '&';
}

}  // namespace

TEST(AccessLog, FiltersAndMaskingOverRealRequests) {
  const std::string path = VARLO_TESTDATA_DIR "/weblog/apache_logs";
  std::ifstream in(path);
  if (!in) GTEST_SKIP() << "test data not found: " << path;

  cFilterSet filters;
  filters.Load(ParseJson(R"([
    {"webExtendsFilterId": "net", "webExtendsFilterElements": [
      {"webExtendsFilterFieldName": "Remote-addr", "webExtendsFilterFieldType": "ipv4",
       "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "83.149.9.0/24",
        "webExtendsFilterFieldSelectOperator": "eq"}]}]},
    {"webExtendsFilterId": "get", "webExtendsFilterElements": [
      {"webExtendsFilterFieldName": "Method", "webExtendsFilterFieldType": "string",
       "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "GET",
        "webExtendsFilterFieldSelectOperator": "eq",
        "webExtendsFilterFieldSelectValueType": "string"}]}]}])"));
  cLogMask mask;
  mask.Conf(ParseJson(R"(["flav"])"));
  WebDecodeBuffers buffers;

  size_t lines = 0, inNet = 0, gets = 0, netHits = 0, getHits = 0, withFlav = 0, masked = 0;
  std::string text;
  LogLine line;
  while (std::getline(in, text)) {
    if (!ParseCombined(text, line)) continue;
    ++lines;
    inNet += line.address.rfind("83.149.9.", 0) == 0;
    gets += line.request.rfind("GET ", 0) == 0;
    withFlav += HasFlavValue(line.request);

    const JsonPtr record(Record(line));
    WebRecord web(record.get(), buffers);
    filters.Detect(web);
    for (size_t i = 0; i < json_array_size(web.Detects()); ++i) {
      const std::string id = json_string_value(
          json_object_get(json_array_get(web.Detects(), i), "webExtendsFilterId"));
      netHits += id == "net";
      getHits += id == "get";
    }

    masked += mask.Mask(record.get());
    const std::string after = StringMember(record.get(), "Request");
    ASSERT_EQ(after.size(), line.request.size()) << line.request;
    for (size_t i = 0; i < after.size(); ++i) {
      ASSERT_TRUE(after[i] == line.request[i] || after[i] == '*') << after;
    }
    EXPECT_EQ(after.find("flav=rss"), std::string::npos) << after;
  }
  EXPECT_GT(lines, 9000u);
  EXPECT_GT(inNet, 0u);
  EXPECT_EQ(netHits, inNet);
  EXPECT_EQ(getHits, gets);
  EXPECT_GT(withFlav, 0u);
  EXPECT_EQ(masked, withFlav);
}
