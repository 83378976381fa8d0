#pragma once
// One access-log record while the web-log worker handles it: the request fields that filters,
// exception lists and masking read, each looked up and decoded at most once per record.
#include <jansson.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "common/Buffer.h"

namespace webfilter {

enum eField : int {
  kRemoteAddr = 0,
  kMethod,
  kHost,
  kXForwardedFor,
  kReqContentLength,
  kReqContentType,
  kUserAgent,
  kCookie,
  kExtention,
  kRequest,
  kUri,
  kReferer,
  kPostBody,
  kFieldCount
};

// Fields from "Request" on are percent-decoded before they are compared.
constexpr int kFirstDecodedField = kRequest;
constexpr int kDecodedFieldCount = kFieldCount - kFirstDecodedField;

// The record member that holds a field.
const char* FieldName(int field);

// Index of the exact, case-sensitive field name, or -1 (a custom field).
int FindField(std::string_view name);

inline bool IsDecodedField(int field) { return field >= kFirstDecodedField && field < kFieldCount; }

// Writes the percent-decoding of `length` bytes to `out` (room for `length` + 1 bytes) followed
// by a NUL and returns the number of bytes written. Every "%" with two bytes after it becomes
// one byte, whether or not they are hexadecimal digits; '+' stays as it is.
size_t PercentDecode(const char* text, size_t length, char* out);

}  // namespace webfilter

// The worker's decoding buffers, one per decoded field, reused for every record and only grown.
using WebDecodeBuffers = std::array<cBuffer, webfilter::kDecodedFieldCount>;

class WebRecord {
 public:
  // Neither the record nor the buffers are owned; both must outlive this object.
  WebRecord(json_t* record, WebDecodeBuffers& buffers) : m_Record(record), m_Buffers(buffers) {}
  WebRecord(const WebRecord&) = delete;
  WebRecord& operator=(const WebRecord&) = delete;

  json_t* Json() const { return m_Record; }

  // The member of one of the fields before "Request"; the JSON null value when the record has
  // none.
  json_t* Field(int field);

  // The string of one of the fields before "Request", or nothing when it is missing or not a
  // string.
  std::optional<std::string_view> FieldText(int field);

  // The decoded value of "Request", "Uri", "Referer" or "Post-body"; the empty text when the
  // member is missing, empty or not a string. "Post-body" is decoded only for form bodies.
  std::string_view Decoded(int field);

  // The text after the last '.' of the decoded "Uri"; empty when there is none.
  std::string_view Extension();

  // The record's "webExtendsDetects" array, created empty when the record has none.
  json_t* Detects();

 private:
  json_t* m_Record;
  WebDecodeBuffers& m_Buffers;
  json_t* m_Detects = nullptr;
  std::array<json_t*, webfilter::kFirstDecodedField> m_Fields{};
  std::array<std::optional<std::string_view>, webfilter::kDecodedFieldCount> m_Decoded;
  std::optional<std::string_view> m_Extension;
};
