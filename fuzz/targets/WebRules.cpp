// The web rule engine: access-log records, the server's web rules, masking and multipart bodies.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "VarloService/webfilter/ExceptList.h"
#include "VarloService/webfilter/FilterSet.h"
#include "VarloService/webfilter/LogMask.h"
#include "VarloService/webfilter/Multipart.h"
#include "VarloService/webfilter/WebRecord.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/RawRequest.h"

using namespace webfilter;

namespace {

// One rule of every kind, so that each record meets every element type and operator.
constexpr const char* kFilters = R"json([
 {"webExtendsFilterId": 1, "webExtendsFilterElements": [
  {"webExtendsFilterFieldName": "Path", "webExtendsFilterFieldType": "string",
   "webExtendsFilterElementSelectors": [
    {"webExtendsFilterFieldValue": "/admin", "webExtendsFilterFieldSelectOperator": "el",
     "webExtendsFilterFieldSelectValueType": "string"},
    {"webExtendsFilterFieldValue": "(?i)select.+from", "webExtendsFilterFieldSelectOperator": "eq",
     "webExtendsFilterFieldSelectValueType": "regex"}]},
  {"webExtendsFilterFieldName": "Remote-addr", "webExtendsFilterFieldType": "ipv4",
   "webExtendsFilterElementSelectors": [
    {"webExtendsFilterFieldValue": "10.0.0.0/8", "webExtendsFilterFieldSelectOperator": "ne"}]}]},
 {"webExtendsFilterId": "size", "webExtendsFilterElements": [
  {"webExtendsFilterFieldName": "Req-Content-Length", "webExtendsFilterFieldType": "number",
   "webExtendsFilterElementSelectors": [
    {"webExtendsFilterFieldValue": "1000", "webExtendsFilterFieldSelectOperator": "gt"},
    {"webExtendsFilterFieldValue": "-1", "webExtendsFilterFieldSelectOperator": "le"}]},
  {"webExtendsFilterFieldName": "Post-body", "webExtendsFilterFieldType": "number",
   "webExtendsFilterElementSelectors": [
    {"webExtendsFilterFieldValue": "1", "webExtendsFilterFieldSelectOperator": "nel"}]}]},
 {"webExtendsFilterId": [3], "webExtendsFilterElements": [
  {"webExtendsFilterFieldName": "Status", "webExtendsFilterFieldType": "s",
   "webExtendsFilterElementSelectors": [
    {"webExtendsFilterFieldValue": "200", "webExtendsFilterFieldSelectOperator": "ne",
     "webExtendsFilterFieldSelectValueType": "s"}]},
  {"webExtendsFilterFieldName": "Referer", "webExtendsFilterFieldType": "s",
   "webExtendsFilterElementSelectors": [
    {"webExtendsFilterFieldValue": "^https?://", "webExtendsFilterFieldSelectOperator": "nel",
     "webExtendsFilterFieldSelectValueType": "r"}]},
  {"webExtendsFilterFieldName": "X-Forwarded-For", "webExtendsFilterFieldType": "i",
   "webExtendsFilterElementSelectors": [
    {"webExtendsFilterFieldValue": "192.168.1.7", "webExtendsFilterFieldSelectOperator": "eq"}]}]}
])json";

constexpr const char* kUploadExcepts = R"json([
 {"exceptType": "except", "exceptEntry": {"Extention": "png", "Method": "GET"}},
 {"exceptType": "select", "exceptEntry": {"Host": "^adm", "x-forwarded-for": "10.0.0.1"},
  "isRegex": {"Host": "1"}},
 {"exceptType": "except", "exceptEntry": {"User-Agent": "(?:bot|crawler)", "Cookie": "a=b"},
  "isRegex": {"User-Agent": "1"}}
])json";

constexpr const char* kWafExcepts = R"json([
 {"isBlockOnly": "0", "exceptEntry": {"Uri": "/health", "Referer": ""}},
 {"isBlockOnly": "1", "exceptEntry": {}},
 {"isBlockOnly": "0", "exceptEntry": {"Post-body": "token=[0-9a-f]+"}, "isRegex": {"Post-body": "1"}}
])json";

const json_t* MaskList() {
  static json_t* const list = json_loads(kFuzzMaskList, 0, nullptr);
  return list;
}

cLogMask& Mask() {
  static cLogMask mask;
  static bool configured = false;
  if (!configured) {
    mask.Conf(json_deep_copy(MaskList()));
    configured = true;
  }
  return mask;
}

// Masks the record's request and body, which may turn bytes into '*' and do nothing else; a JSON
// body that the parser takes comes out as the parser reads it.
void RequireMasked(json_t* record) {
  const std::string request(RecordText(record, "Request"));
  const std::string body(RecordText(record, "Post-body"));
  Mask().Mask(record);
  RequireMaskedCopy(request, RecordText(record, "Request"));
  RequireMaskedCopy(body, RecordText(record, "Post-body"));
  const json_t* type = json_object_get(record, "Req-Content-Type");
  if (!type) type = json_object_get(record, "Content-Type");
  const char* typeText = json_string_value(type);
  if (typeText && std::strncmp(typeText, "application/json", 16) == 0)
    Require(MaskedAsParsed(body, RecordText(record, "Post-body"), MaskList()));
}

struct cRules {
  cFilterSet filters;
  cExceptList uploadExcepts{cExceptList::kSelectExcept};
  cExceptList wafExcepts{cExceptList::kBlockOnly};

  cRules() {
    filters.Load(json_loads(kFilters, 0, nullptr));
    uploadExcepts.Load(json_loads(kUploadExcepts, 0, nullptr));
    wafExcepts.Load(json_loads(kWafExcepts, 0, nullptr));
  }
};

// Records that meet every field type of the rules: addresses, numbers, texts to decode, and
// values of the wrong type.
constexpr const char* kRecords[] = {
    R"json({"Remote-addr": "10.1.2.3", "Host": "adm.shop.example", "Method": "POST",
     "X-Forwarded-For": "192.168.1.7", "Req-Content-Length": "1200", "Status": "500",
     "Uri": "/admin/select%20a%20from/x.png", "Request": "POST /admin?card=1&k=%41 HTTP/1.1",
     "Req-Content-Type": "application/x-www-form-urlencoded", "Post-body": "card=4111&token=ab",
     "Referer": "https://shop.example/%7Ecart", "User-Agent": "crawler", "Cookie": "a=b",
     "Extention": "png"})json",
    R"json({"Remote-addr": "::1", "Status": 200, "Req-Content-Length": "-5", "Uri": "%zz%",
     "Request": "GET /?a HTTP/1.1", "Post-body": null, "Req-Content-Type": "multipart/form-data"})json",
    R"json({})json",
};

// A fresh copy of each record, so that what a run adds stays in that run.
template <class Test>
void ForEachRecord(Test test) {
  static WebDecodeBuffers buffers;
  for (const char* text : kRecords) {
    json_t* record = json_loads(text, 0, nullptr);
    {
      WebRecord web(record, buffers);
      test(web);
    }
    json_decref(record);
  }
}

struct BodyBounds {
  const char* begin;
  const char* end;
};

int CheckRun(MultipartState& parser, char* run, size_t length) {
  const BodyBounds& bounds = *static_cast<const BodyBounds*>(parser.userData);
  Require(length > 0 && run >= bounds.begin && run + length <= bounds.end);
  return 0;
}

int Ignore(MultipartState&) { return 0; }

void ParseAlone(const RawRequest& request) {
  // An exact copy, so that a read past the body's end is caught.
  std::vector<char> body(request.body.begin(), request.body.end());
  MultipartState parser;
  std::string_view boundary = request.contentType.substr(request.contentType.rfind('=') + 1);
  if (boundary.empty()) boundary = "XyZ";
  boundary = boundary.substr(0, kMaxBoundaryLength);
  std::memcpy(parser.boundary, boundary.data(), boundary.size());
  parser.boundaryLength = static_cast<uint32_t>(boundary.size());
  BodyBounds bounds{body.data(), body.data() + body.size()};
  parser.userData = &bounds;
  const MultipartCallbacks callbacks{&Ignore, &Ignore,   &CheckRun, &CheckRun,
                                     &Ignore, &CheckRun, &Ignore,   &Ignore};
  Require(ParseMultipart(parser, callbacks, body.data(), body.size()) <= body.size());
}

}  // namespace

int FuzzMultipart(const uint8_t* data, size_t size) {
  const RawRequest request = SplitRawRequest(Bytes(data, size));
  json_t* record = RawRequestRecord(request);
  RequireMasked(record);
  json_decref(record);
  ParseAlone(request);
  return 0;
}

int FuzzPercentDecode(const uint8_t* data, size_t size) {
  const RawRequest request = SplitRawRequest(Bytes(data, size));

  // Exactly the room the decoder promises to need.
  const std::unique_ptr<char[]> out(new char[request.body.size() + 1]);
  const size_t written = PercentDecode(request.body.data(), request.body.size(), out.get());
  Require(written <= request.body.size() && out[written] == '\0');

  json_t* record = json_object();
  json_object_set_new(record, "Request", JsonBytes(request.request));
  json_object_set_new(record, "Uri", JsonBytes(request.request));
  json_object_set_new(record, "Referer", JsonBytes(request.contentType));
  json_object_set_new(record, "Post-body", JsonBytes(request.body));
  json_object_set_new(record, "Req-Content-Type", json_string("application/x-www-form-urlencoded"));
  static WebDecodeBuffers buffers;
  WebRecord web(record, buffers);
  for (int field = kFirstDecodedField; field < kFieldCount; ++field) {
    const std::string_view decoded = web.Decoded(field);
    Require(decoded.size() <= json_string_length(json_object_get(record, FieldName(field))));
    Require(web.Decoded(field).data() == decoded.data());
  }
  const std::string_view uri = web.Decoded(kUri);
  const std::string_view extension = web.Extension();
  Require(extension.empty() || (extension.data() > uri.data() &&
                                extension.data() + extension.size() == uri.data() + uri.size()));
  json_decref(record);

  for (const std::string_view part : {request.request, request.contentType, request.body}) {
    std::vector<char> copy(part.begin(), part.end());
    Mask().MaskPairs(copy.data(), copy.size());
    RequireMaskedCopy(part, std::string_view(copy.data(), copy.size()));
  }
  return 0;
}

int FuzzRecordLine(const uint8_t* data, size_t size) {
  json_t* record = json_loadb(reinterpret_cast<const char*>(data), size, JSON_ALLOW_NUL, nullptr);
  if (!json_is_object(record)) {
    json_decref(record);
    return 0;
  }
  static cRules rules;
  static WebDecodeBuffers buffers;
  {
    WebRecord web(record, buffers);
    for (int field = 0; field < kFirstDecodedField; ++field) web.FieldText(field);
    rules.uploadExcepts.Check(web);
    rules.wafExcepts.Check(web);
    rules.filters.Detect(web);
  }
  RequireMasked(record);
  json_decref(record);
  return 0;
}

int FuzzWebFilterList(const uint8_t* data, size_t size) {
  cFilterSet filters;
  filters.Load(LoadJson(data, size));
  ForEachRecord([&filters](WebRecord& web) {
    const int detected = filters.Detect(web);
    Require(detected >= 0 && static_cast<size_t>(detected) <= filters.Size());
    Require(json_array_size(web.Detects()) == static_cast<size_t>(detected));
  });
  return 0;
}

int FuzzWebExceptList(const uint8_t* data, size_t size) {
  json_t* list = LoadJson(data, size);
  cExceptList uploadExcepts(cExceptList::kSelectExcept);
  cExceptList wafExcepts(cExceptList::kBlockOnly);
  uploadExcepts.Load(json_incref(list));
  wafExcepts.Load(list);
  ForEachRecord([&](WebRecord& web) {
    const int excepted = uploadExcepts.Check(web);
    Require(excepted == 0 || excepted == 1);
    const int blocked = wafExcepts.Check(web);
    Require(blocked == 0 || blocked == 2);
  });
  return 0;
}

int FuzzMaskList(const uint8_t* data, size_t size) {
  cLogMask mask;
  json_t* const list = LoadJson(data, size);
  mask.Conf(json_incref(list));
  static const char* const kRequests[] = {
      "POST /login?card=1&Token=%41&=x&k HTTP/1.1\napplication/x-www-form-urlencoded\n"
      "name=bob;phone=99&password=s3cr%26t&token=&k=5",
      "POST /api HTTP/1.1\napplication/json\n"
      R"({"card":"4111","n":{"phone":"1"},"k":5,"password":"p\"w\u00e9","a":[{"token":"t"}]})",
      "POST /upload HTTP/1.1\nmultipart/form-data; boundary=XyZ\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"card\"\r\n\r\n4111\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"phone\"; filename=\"a\"\r\n\r\n0\r\n--XyZ--",
  };
  for (const char* raw : kRequests) {
    const RawRequest request = SplitRawRequest(raw);
    json_t* record = RawRequestRecord(request);
    mask.Mask(record);
    RequireMaskedCopy(request.request, RecordText(record, "Request"));
    RequireMaskedCopy(request.body, RecordText(record, "Post-body"));
    Require(MaskedAsParsed(request.body, RecordText(record, "Post-body"), list));
    json_decref(record);
  }
  json_decref(list);
  return 0;
}
