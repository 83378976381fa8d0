#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "VarloService/webfilter/LogMask.h"
#include "fuzz/targets/RawRequest.h"
#include "tests/webfilter/Json.h"

namespace {

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Configure(cLogMask& mask, const char* list) { mask.Conf(list ? ParseJson(list) : nullptr); }

JsonPtr BodyRecord(const std::string& contentType, const std::string& body) {
  JsonPtr record(json_object());
  json_object_set_new(record.get(), "Req-Content-Type",
                      json_stringn(contentType.data(), contentType.size()));
  json_object_set_new(record.get(), "Post-body", json_stringn(body.data(), body.size()));
  return record;
}

// Masks a JSON body with the names of every other top-level member (and "card") listed, and
// checks the result against the parser's reading of the body.
void ExpectMaskedAsParsed(const std::string& body, const std::string& what) {
  const JsonPtr parsed(json_loadb(body.data(), body.size(), 0, nullptr));
  if (!json_is_object(parsed.get())) return;
  std::set<std::string> listed = {"card"};
  size_t index = 0;
  const char* key;
  json_t* value;
  json_object_foreach(parsed.get(), key, value) {
    if (index++ % 2 == 0) listed.insert(key);
  }
  JsonPtr list(json_array());
  for (const std::string& name : listed) json_array_append_new(list.get(), json_string(name.c_str()));
  cLogMask mask;
  mask.Conf(json_incref(list.get()));
  const JsonPtr record = BodyRecord("application/json", body);
  mask.Mask(record.get());
  const std::string masked = StringMember(record.get(), "Post-body");
  EXPECT_TRUE(MaskedAsParsed(body, masked, list.get())) << what << "\n" << masked;
}

}  // namespace

// Each fixture is a request as the module records it; its ".masked" file is what masking must
// make of it, and a fixture without one must come out unchanged.
TEST(LogMask, FixturesComeOutExactlyAsRecorded) {
  cLogMask mask;
  Configure(mask, kFuzzMaskList);
  int fixtures = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(VARLO_WEBFILTER_FIXTURES "/masking")) {
    if (entry.path().extension() != ".req") continue;
    ++fixtures;
    const std::string input = ReadBytes(entry.path());
    std::filesystem::path expectedPath = entry.path();
    expectedPath.replace_extension(".masked");
    const std::string expected =
        std::filesystem::exists(expectedPath) ? ReadBytes(expectedPath) : input;

    const RawRequest request = SplitRawRequest(input);
    const JsonPtr record(RawRequestRecord(request));
    mask.Mask(record.get());
    std::string output(RecordText(record.get(), "Request"));
    output.append("\n").append(request.contentType).append("\n");
    output.append(RecordText(record.get(), "Post-body"));
    EXPECT_EQ(output, expected) << entry.path();
  }
  EXPECT_GE(fixtures, 8);
}

TEST(LogMask, MaskCountsAndLeavesUnlistedOrUnsupportedPartsAlone) {
  const struct {
    const char* list;
    std::string record;
    int count;
    std::string request, body;
  } cases[] = {
      {R"(["card"])", R"({"Request": "GET /pay?user=bob&Card=4111 HTTP/1.1"})", 1,
       "GET /pay?user=bob&Card=**** HTTP/1.1", ""},
      {R"(["a"])", R"({"Request": "GET /?a=1 HTTP/1.1"})", 1, "GET /?a=* HTTP/1.1", ""},
      {R"(["a"])", R"({"Request": "GET /?a= HTTP/1.1"})", 0, "GET /?a= HTTP/1.1", ""},
      {R"(["a"])", R"({"Request": "GET /?a=1"})", 0, "GET /?a=1", ""},
      // Only the query between '?' and the next ' ' is looked at.
      {R"(["card"])", R"({"Request": "GET /a?x=1 HTTP/1.1&card=77"})", 0,
       "GET /a?x=1 HTTP/1.1&card=77", ""},
      {R"(["card", "x"])", R"({"Request": "GET /a?card= HTTP/1.1", "Post-body": "=x&card=",
                               "Req-Content-Type": "application/x-www-form-urlencoded"})",
       0, "GET /a?card= HTTP/1.1", "=x&card="},
      {R"(["phone"])", R"({"Post-body": "name=bob;phone=99",
          "Req-Content-Type": "application/x-www-form-urlencoded; charset=UTF-8"})",
       1, "", "name=bob;phone=**"},
      {R"(["k"])", R"({"Post-body": "k=1", "Content-Type": "application/x-www-form-urlencoded"})",
       1, "", "k=*"},
      {R"(["k"])", R"({"Post-body": "k=1", "Req-Content-Type": null,
                       "Content-Type": "application/x-www-form-urlencoded"})",
       0, "", "k=1"},
      {R"(["k"])",
       R"({"Post-body": "k=", "Req-Content-Type": "application/x-www-form-urlencoded"})", 0, "",
       "k="},
      {R"(["card", "k"])", R"({"Request": "POST /p?k=2 HTTP/1.1",
          "Post-body": "{\"card\":\"abc\",\"n\":{\"card\":\"x\"},\"k\":5}",
          "Req-Content-Type": "application/json"})",
       2, "POST /p?k=* HTTP/1.1", R"({"card":"***","n":{"card":"x"},"k":5})"},
      {R"(["card"])",
       R"({"Post-body": "{\"c\\u0061rd\":\"12\"}", "Req-Content-Type": "application/json"})", 1, "",
       R"({"c\u0061rd":"**"})"},
      {R"(["card"])",
       R"({"Post-body": "{\"card\":\"12\",", "Req-Content-Type": "application/json"})", 1, "",
       R"({"card":"**",)"},
      {R"(["card"])",
       R"({"Post-body": "[{\"card\":\"12\"}]", "Req-Content-Type": "application/json"})", 0, "",
       R"([{"card":"12"}])"},
      {R"(["card"])", R"({"Post-body": "card=12", "Req-Content-Type": "text/plain"})", 0, "",
       "card=12"},
      {R"(["card"])",
       R"({"Post-body": "card=12", "Req-Content-Type": "Application/x-www-form-urlencoded"})", 0,
       "", "card=12"},
      // A non-string entry is passed over; the later ones still count.
      {R"([5, null, "CARD"])", R"({"Post-body": "card=12",
          "Req-Content-Type": "application/x-www-form-urlencoded"})",
       1, "", "card=**"},
      {R"([])", R"({"Request": "GET /?card=1 HTTP/1.1"})", 0, "GET /?card=1 HTTP/1.1", ""},
      {nullptr, R"({"Request": "GET /?card=1 HTTP/1.1"})", 0, "GET /?card=1 HTTP/1.1", ""},
  };
  for (const auto& c : cases) {
    cLogMask mask;
    Configure(mask, c.list);
    const JsonPtr record = Json(c.record);
    EXPECT_EQ(mask.Mask(record.get()), c.count) << c.record;
    EXPECT_EQ(StringMember(record.get(), "Request"), c.request) << c.record;
    EXPECT_EQ(StringMember(record.get(), "Post-body"), c.body) << c.record;
  }
}

TEST(LogMask, MultipartBoundaryIsReadFromTheContentType) {
  const std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"phone\"\r\n\r\n0123456789\r\n--XyZ--\r\n";
  const std::string masked =
      "--XyZ\r\nContent-Disposition: form-data; name=\"phone\"\r\n\r\n**********\r\n--XyZ--\r\n";
  const struct {
    const char* contentType;
    bool masks;
  } cases[] = {
      {"multipart/form-data; boundary=XyZ", true},
      {"multipart/form-data; boundary= XyZ; charset=UTF-8", true},
      {"multipart/form-data; boundary=\"XyZ\"", true},
      {"multipart/form-data; boundary=XyZW", false},
      {"multipart/form-data; boundary=", false},
      {"multipart/form-data;boundary", false},
      {"multipart/form-data", false},
  };
  for (const auto& c : cases) {
    cLogMask mask;
    Configure(mask, R"(["phone"])");
    const JsonPtr record = BodyRecord(c.contentType, body);
    EXPECT_EQ(mask.Mask(record.get()), c.masks ? 1 : 0) << c.contentType;
    EXPECT_EQ(StringMember(record.get(), "Post-body"), c.masks ? masked : body) << c.contentType;
  }
}

TEST(LogMask, MultipartPartsNeedAFormDataNameThatIsListed) {
  const struct {
    std::string headers;
    bool masks;
  } cases[] = {
      {"Content-Disposition: form-data; name=\"card\"", true},
      {"CONTENT-DISPOSITION: form-data; name=card; x=y", true},
      {"Content-Type: text/plain\r\nContent-Disposition: form-data;name=\"card\"", true},
      {"Content-Disposition: form-data; filename=\"card\"; name=\"file\"", false},
      {"Content-Disposition: form-data; filename=\"x\"; name=\"card\"", true},
      {"Content-Disposition: attachment; name=\"card\"", false},
      {"Content-Disposition: form-data; name=\"card", false},
      {"Content-Disposition: form-data; name=\"\"", false},
      {"Content-Disposition: form-data", false},
      {"X-Disposition: form-data; name=\"card\"", false},
  };
  for (const auto& c : cases) {
    cLogMask mask;
    Configure(mask, R"(["card"])");
    const std::string body = "--b\r\n" + c.headers + "\r\n\r\n4111\r\n--b--";
    std::string expected = body;
    if (c.masks) expected.replace(expected.find("4111"), 4, "****");
    const JsonPtr record = BodyRecord("multipart/form-data; boundary=b", body);
    mask.Mask(record.get());
    EXPECT_EQ(StringMember(record.get(), "Post-body"), expected) << c.headers;
  }
}

TEST(LogMask, MaskValueComparesWholeNamesWithoutRegardToCase) {
  cLogMask mask;
  Configure(mask, R"(["card"])");
  const struct {
    const char* name;
    bool masks;
  } cases[] = {{"card", true}, {"CaRd", true}, {"car", false}, {"cards", false}, {"", false}};
  for (const auto& c : cases) {
    std::string value = "1234";
    EXPECT_EQ(mask.MaskValue(c.name, std::strlen(c.name), value.data(), value.size()),
              c.masks ? 1 : 0)
        << c.name;
    EXPECT_EQ(value, c.masks ? "****" : "1234") << c.name;
  }
  std::string empty;
  EXPECT_EQ(mask.MaskValue("card", 4, empty.data(), 0), 0);
}

TEST(LogMask, MaskPairsStopsAtTheEndOfTheGivenPart) {
  cLogMask mask;
  Configure(mask, R"(["card"])");
  std::string text = "x=1&card=22&card=333";
  EXPECT_EQ(mask.MaskPairs(text.data(), 11), 1);
  EXPECT_EQ(text, "x=1&card=**&card=333");
}

// A client may follow a body or a content type with a NUL and more bytes: what stands before the
// NUL is masked as it would be alone, and the bytes after it stay where they are.
TEST(LogMask, ANulAndTheBytesAfterItHideNothingFromMasking) {
  using namespace std::string_literals;
  const std::string part = "Content-Disposition: form-data; name=\"card\"\r\n\r\n";
  const struct {
    std::string contentType, body, masked;
  } cases[] = {
      {"application/json", "{\"card\":\"1234\"}\0tail"s, "{\"card\":\"****\"}\0tail"s},
      {"application/json", "{\"card\":\"1234\"}\0{\"x\":"s, "{\"card\":\"****\"}\0{\"x\":"s},
      {"application/json; charset=UTF-8", "{\"n\":1, \"card\":\"1234\"}\n\0"s,
       "{\"n\":1, \"card\":\"****\"}\n\0"s},
      {"application/x-www-form-urlencoded", "a=1\0&card=1234"s, "a=1\0&card=****"s},
      {"application/x-www-form-urlencoded", "card=12\0x"s, "card=****"s},
      {"multipart/form-data; boundary=b", "--b\r\n" + part + "41\0xy\r\n--b--"s,
       "--b\r\n" + part + "*****\r\n--b--"},
      {"multipart/form-data; boundary=b\0junk"s, "--b\r\n" + part + "4111\r\n--b--\0"s,
       "--b\r\n" + part + "****\r\n--b--\0"s},
  };
  for (const auto& c : cases) {
    cLogMask mask;
    Configure(mask, R"(["card"])");
    const JsonPtr record = BodyRecord(c.contentType, c.body);
    EXPECT_EQ(mask.Mask(record.get()), 1) << c.contentType << "\n" << c.body;
    EXPECT_EQ(StringMember(record.get(), "Post-body"), c.masked) << c.contentType << "\n" << c.body;
  }

  cLogMask mask;
  Configure(mask, R"(["card"])");
  const std::string request = "GET /pay?x=\0&card=4111 HTTP/1.1"s;
  JsonPtr record(json_object());
  json_object_set_new(record.get(), "Request", json_stringn(request.data(), request.size()));
  EXPECT_EQ(mask.Mask(record.get()), 1);
  EXPECT_EQ(StringMember(record.get(), "Request"), "GET /pay?x=\0&card=**** HTTP/1.1"s);
}

// A body that is not JSON to the parser (a NUL between two documents or inside a string, a body
// cut short, a raw control character) still has every listed value that a tolerant reading finds
// masked: no card number goes up in clear.
TEST(LogMask, AJsonBodyTheParserRefusesIsMaskedWhereverATolerantReadingFindsAListedValue) {
  using namespace std::string_literals;
  const std::string card = "4111111111111111";
  const std::string stars(card.size(), '*');
  const struct {
    const char* what;
    std::string body, masked;
  } cases[] = {
      {"a NUL between documents", "{\"a\":\"x\"}\0{\"card\":\""s + card + "\"}",
       "{\"a\":\"x\"}\0{\"card\":\""s + stars + "\"}"},
      {"a NUL in a string before", "{\"a\":\"x\0y\",\"card\":\""s + card + "\"}",
       "{\"a\":\"x\0y\",\"card\":\""s + stars + "\"}"},
      {"a NUL in the card", "{\"card\":\"4111\0 111111111111\"}"s, "{\"card\":\"" + std::string(18, '*') + "\"}"},
      {"a NUL that cuts a document", "{\"a\":\"x\0{\"card\":\""s + card + "\"}",
       "{\"a\":\"x\0{\"card\":\""s + stars + "\"}"},
      {"cut in the card", "{\"user\":\"bob\",\"card\":\"41111111", "{\"user\":\"bob\",\"card\":\"********"},
      {"cut after the card", "{\"card\":\"" + card + "\",\"n\":[1,", "{\"card\":\"" + stars + "\",\"n\":[1,"},
      {"a raw line feed in the card", "{\"card\":\"4111\n111111111111\"}", "{\"card\":\"*****************\"}"},
      {"a raw tab before", "{\"x\":\"a\tb\",\"card\":\"" + card + "\"}", "{\"x\":\"a\tb\",\"card\":\"" + stars + "\"}"},
      {"no comma", "{\"a\":\"x\" \"card\":\"" + card + "\"}", "{\"a\":\"x\" \"card\":\"" + stars + "\"}"},
      {"brackets that do not pair", "{\"n\":[1,2},\"card\":\"" + card + "\"}",
       "{\"n\":[1,2},\"card\":\"" + stars + "\"}"},
      {"a second document", "{\"a\":1}\n{\"card\":\"" + card + "\"}", "{\"a\":1}\n{\"card\":\"" + stars + "\"}"},
      {"bytes before", "card={\"card\":\"" + card + "\"}", "card={\"card\":\"" + stars + "\"}"},
      {"a trailing backslash", "{\"card\":\"4111\\", "{\"card\":\"*****"},
      {"an escaped key", "{\"c\\u0061rd\":\"" + card + "\",}", "{\"c\\u0061rd\":\"" + stars + "\",}"},
      // Nested members and top-level arrays stay as they are, as in a body the parser takes.
      {"nested", "{\"n\":{\"card\":\"1\"},\"card\":\"2\",", "{\"n\":{\"card\":\"1\"},\"card\":\"*\","},
      {"an array", "[{\"card\":\"1\"},", "[{\"card\":\"1\"},"},
  };
  for (const auto& c : cases) {
    cLogMask mask;
    Configure(mask, R"(["card"])");
    const JsonPtr record = BodyRecord("application/json", c.body);
    mask.Mask(record.get());
    const std::string masked = StringMember(record.get(), "Post-body");
    EXPECT_EQ(masked, c.masked) << c.what;
    EXPECT_EQ(masked.find("4111"), std::string::npos) << c.what;
  }
}

// On every body the parser takes, masking gives what the parser's reading gives: the conformance
// cases of a JSON test suite, each value of them also as a member among others, and long bodies
// of the shapes clients send.
TEST(LogMask, AJsonBodyThatTheParserTakesIsMaskedAsItReadsIt) {
  const std::string folder = VARLO_TESTDATA_DIR "/json/test_parsing";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "test data not found: " << folder;
  int objects = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    const std::string text = ReadBytes(entry.path());
    ExpectMaskedAsParsed(text, name);
    const JsonPtr parsed(json_loadb(text.data(), text.size(), JSON_DECODE_ANY, nullptr));
    if (json_is_object(parsed.get())) ++objects;
    if (parsed) ExpectMaskedAsParsed("{\"card\":\"4111\",\"v\": " + text + " ,\"k\":\"x\",\"card\":\"4\"}", name);
  }
  EXPECT_GE(objects, 10);

  // A long body of every kind of member, nested ones with listed names among them.
  JsonPtr body(json_object());
  for (int member = 0; member < 5000; ++member) {
    const std::string key = "k" + std::to_string(member);
    json_t* value;
    switch (member % 7) {
      case 0: value = json_string("p\"w\\\u00e9\u65e5\n\t x"); break;
      case 1: value = json_integer(-member); break;
      case 2: value = json_pack("{s:s, s:[s, i]}", "card", "4111", "k2", "v", 1); break;
      case 3: value = json_pack("[s, {s:s}]", "a", "card", "x"); break;
      case 4: value = json_string(""); break;
      case 5: value = member % 2 ? json_true() : json_null(); break;
      default: value = json_real(member / 3.0);
    }
    json_object_set_new(body.get(), key.c_str(), value);
  }
  for (size_t flags : {size_t{JSON_COMPACT}, size_t{JSON_INDENT(2)}, size_t{JSON_INDENT(1) | JSON_ENSURE_ASCII}}) {
    char* text = json_dumps(body.get(), flags);
    ExpectMaskedAsParsed(text, "a long body, flags " + std::to_string(flags));
    free(text);
  }
}
