// The bytes that leave the agent for a fixed set of access-log lines, pinned by the digests of
// their envelopes: masked and unmasked records, detections added to the module's own, escapes,
// NUL characters and text in other scripts, numbers of every kind, and lines written with blanks.
// Whatever makes the web road faster leaves every byte as it was.
#include "common/Sha256.h"
#include "tests/weblog/WebLogFixture.h"

namespace {

constexpr char kMaskList[] = R"(["card", "pw", "phone"])";
constexpr char kWafExcept[] = R"([{"isBlockOnly": "0", "exceptEntry": {"Host": "waf.test"}}])";
constexpr char kFilters[] = R"([
  {"webExtendsFilterId": 7, "webExtendsFilterElements": [
    {"webExtendsFilterFieldName": "Method", "webExtendsFilterFieldType": "string",
     "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "PUT",
      "webExtendsFilterFieldSelectOperator": "eq", "webExtendsFilterFieldSelectValueType": "string"}]}]},
  {"webExtendsFilterId": {"id": "admin"}, "webExtendsFilterElements": [
    {"webExtendsFilterFieldName": "Uri", "webExtendsFilterFieldType": "string",
     "webExtendsFilterElementSelectors": [{"webExtendsFilterFieldValue": "regex=^/admin",
      "webExtendsFilterFieldSelectOperator": "el", "webExtendsFilterFieldSelectValueType": "string"}]}]}])";

// One line of each kind; the set is repeated with a running number until several batches fill.
const char* const kLines[] = {
    R"({"Remote-addr":"10.0.0.{n}","Method":"GET","Host":"shop.test","Request":"GET /pay?user=bob&card=4111111111111111 HTTP/1.1","Uri":"/pay","Status":200})",
    R"({"Remote-addr":"10.0.0.{n}","Method":"PUT","Host":"shop.test","Uri":"/admin/{n}","Request":"PUT /admin/{n}?pw=x HTTP/1.1","webExtendsDetects":[{"m":{n}}]})",
    R"({"Remote-addr":"10.0.0.{n}","Method":"POST","Host":"waf.test","Request":"POST /login?pw=secret HTTP/1.1","webExtendsDetects":[{"m":1}]})",
    R"({"Method":"POST","Req-Content-Type":"application/x-www-form-urlencoded; charset=UTF-8","Post-body":"name=bob;phone=0123456789&n={n}","Uri":"/form"})",
    R"({"Method":"POST","Req-Content-Type":"application/json","Post-body":"{\"card\":\"abc\",\"n\":{\"card\":\"x\"},\"k\":{n}}","Uri":"/api"})",
    R"({"Method":"POST","Req-Content-Type":"multipart/form-data; boundary=XyZ","Post-body":"--XyZ\r\nContent-Disposition: form-data; name=\"phone\"\r\n\r\n0123456789\r\n--XyZ--\r\n"})",
    R"({"User-Agent":"Mozilla \u00e9 \ud83d\ude00 \/slash \"quoted\" back\\slash \t \u0001 \u001f \u007f {n}","Referer":"\u65e5\u672c\u8a9e"})",
    R"({"Post-body":"a\u0000b {n}","Cookie":"","Real":1.5,"Exponent":1e3,"Negative":-0.0,"Big":12345678901234567,"Small":-{n},"Flags":[true,false,null],"Nested":{"a":{"b":[]}}})",
    R"(  { "Uri" : "/spaced/{n}" ,  "Method":"GET")"
    "\t"
    R"(, "Extention" : "php" }  )",
};

// The line with its placeholders "{n}" replaced by the number.
std::string Numbered(const char* line, unsigned number) {
  std::string text = line;
  const std::string digits = std::to_string(number);
  for (size_t at; (at = text.find("{n}")) != std::string::npos;) text.replace(at, 3, digits);
  return text;
}

}  // namespace

TEST_F(cWebLogTest, AFixedSetOfLinesUploadsTheSameBytes) {
  m_Info.m_AgentType = "SIEM_WIN";
  m_Info.m_AgentVersion = "5.8.0.8";
  m_Info.m_LicenseKey = "DEMO-0000-0001";
  m_Info.m_IpAddr = "10.0.0.9";
  m_Svc.SetLogMask(Parse(kMaskList));
  m_Svc.SetWafExcept(Parse(kWafExcept));
  m_Svc.SetWebFilter(Parse(kFilters));
  StartBehindAnOldLine();

  std::string lines;
  size_t count = 0;
  for (unsigned round = 0; round < 90; ++round) {
    for (const char* line : kLines) {
      lines += Numbered(line, round) + "\n";
      ++count;
    }
  }
  ASSERT_TRUE(cWebModuleStandIn::AppendRaw(lines));
  ASSERT_TRUE(WaitUntilRead());
  ASSERT_EQ(FlushedRecords(count).size(), count);

  std::vector<std::string> digests;
  for (const cUploadedBatch& batch : m_Server.Batches()) {
    EXPECT_EQ(batch.error, "");
    digests.push_back(Sha256Hex(batch.envelope));
  }
  const std::vector<std::string> expected = {
      "e961dcdfa1fb6d2a4c52348e3f5b1e713a3def9569c54719f8d6c7cc6c15bd88",  // full by size
      "fc5f4df573b6d9acef18b3e8fa7b354fd7bdb4ee0ebd390f43c2434aeb06b2fe",  // sent by its age
  };
  EXPECT_EQ(digests, expected);
}
