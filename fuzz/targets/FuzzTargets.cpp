#include "fuzz/targets/FuzzTargets.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "VarloService/webfilter/ExceptList.h"
#include "VarloService/webfilter/FilterSet.h"
#include "VarloService/webfilter/LogMask.h"
#include "VarloService/webfilter/Multipart.h"
#include "VarloService/webfilter/WebRecord.h"

using namespace webfilter;

const char* const kFuzzMaskList = R"(["card", "phone", "password", "token", "k"])";

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

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Masking may turn bytes into '*' and do nothing else.
void RequireMaskedCopy(std::string_view before, std::string_view after) {
  Require(before.size() == after.size());
  for (size_t i = 0; i < before.size(); ++i) Require(before[i] == after[i] || after[i] == '*');
}

cLogMask& Mask() {
  static cLogMask mask;
  static bool configured = false;
  if (!configured) {
    mask.Conf(json_loads(kFuzzMaskList, 0, nullptr));
    configured = true;
  }
  return mask;
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

json_t* Text(std::string_view bytes) { return json_stringn_nocheck(bytes.data(), bytes.size()); }

std::string_view Bytes(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
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

RawRequest SplitRawRequest(std::string_view bytes) {
  RawRequest request;
  const size_t first = bytes.find('\n');
  request.request = bytes.substr(0, first);
  if (first == std::string_view::npos) return request;
  const std::string_view rest = bytes.substr(first + 1);
  const size_t second = rest.find('\n');
  request.contentType = rest.substr(0, second);
  if (second != std::string_view::npos) request.body = rest.substr(second + 1);
  return request;
}

json_t* RawRequestRecord(const RawRequest& request) {
  json_t* record = json_object();
  json_object_set_new(record, "Request", Text(request.request));
  if (!request.contentType.empty()) {
    json_object_set_new(record, "Req-Content-Type", Text(request.contentType));
  }
  json_object_set_new(record, "Post-body", Text(request.body));
  return record;
}

std::string_view RecordText(const json_t* record, const char* member) {
  const json_t* value = json_object_get(record, member);
  return std::string_view(json_string_value(value), json_string_length(value));
}

int FuzzMultipart(const uint8_t* data, size_t size) {
  const RawRequest request = SplitRawRequest(Bytes(data, size));
  json_t* record = RawRequestRecord(request);
  Mask().Mask(record);
  RequireMaskedCopy(request.request, RecordText(record, "Request"));
  RequireMaskedCopy(request.body, RecordText(record, "Post-body"));
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
  json_object_set_new(record, "Request", Text(request.request));
  json_object_set_new(record, "Uri", Text(request.request));
  json_object_set_new(record, "Referer", Text(request.contentType));
  json_object_set_new(record, "Post-body", Text(request.body));
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
  const std::string request(RecordText(record, "Request"));
  const std::string body(RecordText(record, "Post-body"));
  Mask().Mask(record);
  RequireMaskedCopy(request, RecordText(record, "Request"));
  RequireMaskedCopy(body, RecordText(record, "Post-body"));
  json_decref(record);
  return 0;
}
