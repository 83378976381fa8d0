#include <gtest/gtest.h>

#include <string>

#include "VarloService/webfilter/WebRecord.h"
#include "tests/webfilter/Json.h"

using namespace webfilter;

namespace {

std::string Decode(const std::string& raw) {
  std::string out(raw.size() + 1, '?');
  out.resize(PercentDecode(raw.data(), raw.size(), out.data()));
  return out;
}

}  // namespace

TEST(PercentDecode, DecodesEachEscapeOnceAndKeepsEverythingElse) {
  const struct {
    std::string raw, decoded;
  } cases[] = {
      {"/a%2Fb+c", "/a/b+c"},
      {"%41", "A"},
      {"%6a", "j"},
      {"%zz", "S"},  // not hexadecimal, weighed by the same rule: (35 * 16 + 35) mod 256
      {"%%%", "E"},
      {"abc%4", "abc%4"},
      {"%", "%"},
      {"%A", "%A"},
      {"%2541", "%41"},
      {"a%00b", std::string("a\0b", 3)},
      {std::string("a\0%41", 5), std::string("a\0A", 3)},  // a NUL hides nothing after it
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.raw), c.decoded) << c.raw;
}

TEST(FindField, NamesAreExactAndCaseSensitive) {
  EXPECT_EQ(FindField("Remote-addr"), kRemoteAddr);
  EXPECT_EQ(FindField("Extention"), kExtention);
  EXPECT_EQ(FindField("Post-body"), kPostBody);
  EXPECT_EQ(FindField("Path"), -1);
  EXPECT_EQ(FindField("host"), -1);
  EXPECT_EQ(FindField("Extension"), -1);
}

TEST(WebRecord, DecodesUriRefererAndRequestButFormBodiesOnly) {
  const struct {
    const char* record;
    int field;
    std::string decoded;
  } cases[] = {
      {R"({"Uri": "/a%2Fb+c"})", kUri, "/a/b+c"},
      {R"({"Referer": "http://x/%7e"})", kReferer, "http://x/~"},
      {R"({"Request": "GET /%41 HTTP/1.1"})", kRequest, "GET /A HTTP/1.1"},
      {R"({"Post-body": "a%3Db", "Req-Content-Type": "application/json"})", kPostBody, "a%3Db"},
      {R"({"Post-body": "a%3Db",
           "Req-Content-Type": "application/x-www-form-urlencoded; charset=UTF-8"})",
       kPostBody, "a=b"},
      {R"({"Post-body": "a%3Db", "Req-Content-Type": "Application/X-WWW-Form-Urlencoded"})",
       kPostBody, "a%3Db"},
      {R"({"Post-body": "a%3Db", "Req-Content-Type": 5})", kPostBody, "a%3Db"},
      {R"({"Post-body": "a%3Db"})", kPostBody, "a%3Db"},
      {R"({"Uri": ""})", kUri, ""},
      {R"({"Uri": 7})", kUri, ""},
      {R"({})", kReferer, ""},
  };
  WebDecodeBuffers buffers;
  for (const auto& c : cases) {
    const JsonPtr json = Json(c.record);
    WebRecord record(json.get(), buffers);
    EXPECT_EQ(record.Decoded(c.field), c.decoded) << c.record;
  }
}

TEST(WebRecord, LooksUpAndDecodesOncePerRecordIntoReusedBuffers) {
  WebDecodeBuffers buffers;
  const JsonPtr longer = Json(R"({"Uri": "/aaaaaaaaaaaaaaaa%41", "Host": "h"})");
  WebRecord first(longer.get(), buffers);
  const std::string_view decoded = first.Decoded(kUri);
  EXPECT_EQ(first.Decoded(kUri).data(), decoded.data());
  EXPECT_EQ(decoded.data(),
            reinterpret_cast<const char*>(buffers[kUri - kFirstDecodedField].Data()));
  EXPECT_EQ(first.Field(kHost), first.Field(kHost));
  EXPECT_EQ(first.Field(kMethod), json_null());
  EXPECT_FALSE(first.FieldText(kMethod));

  // A later record that fits decodes into the same buffer.
  const JsonPtr shorter = Json(R"({"Uri": "/b%42"})");
  WebRecord second(shorter.get(), buffers);
  EXPECT_EQ(second.Decoded(kUri), "/bB");
  EXPECT_EQ(second.Decoded(kUri).data(), decoded.data());
}

TEST(WebRecord, ExtensionIsTheTextAfterTheLastDotOfTheDecodedUri) {
  const struct {
    const char* record;
    const char* extension;
  } cases[] = {
      {R"({"Uri": "/x/index.php", "Extention": "asp"})", "php"},
      {R"({"Uri": "/x/a.tar.gz"})", "gz"},
      {R"({"Uri": "/x/index%2Ephp"})", "php"},
      {R"({"Uri": "/x/index", "Extention": "php"})", ""},
      {R"({"Uri": "/x/"})", ""},
      {R"({})", ""},
  };
  WebDecodeBuffers buffers;
  for (const auto& c : cases) {
    const JsonPtr json = Json(c.record);
    WebRecord record(json.get(), buffers);
    EXPECT_EQ(record.Extension(), c.extension) << c.record;
  }
}

TEST(WebRecord, DetectsTakesTheModulesArrayOrCreatesOne) {
  WebDecodeBuffers buffers;
  const JsonPtr flagged = Json(R"({"webExtendsDetects": [{"rule": 1}]})");
  WebRecord withArray(flagged.get(), buffers);
  EXPECT_EQ(withArray.Detects(), json_object_get(flagged.get(), "webExtendsDetects"));
  EXPECT_EQ(json_array_size(withArray.Detects()), 1u);

  const JsonPtr plain = Json(R"({})");
  WebRecord without(plain.get(), buffers);
  json_t* created = without.Detects();
  EXPECT_TRUE(json_is_array(created));
  EXPECT_EQ(json_object_get(plain.get(), "webExtendsDetects"), created);
  EXPECT_EQ(without.Detects(), created);
}
