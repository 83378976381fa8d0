#include "VarloService/webfilter/WebRecord.h"

#include <cstring>

namespace webfilter {

namespace {

constexpr const char* kFieldNames[kFieldCount] = {
    "Remote-addr",        "Method",           "Host",       "X-Forwarded-For",
    "Req-Content-Length", "Req-Content-Type", "User-Agent", "Cookie",
    "Extention",          "Request",          "Uri",        "Referer",
    "Post-body"};

constexpr std::string_view kFormContentType = "application/x-www-form-urlencoded";

// Neither digit is checked: whatever byte stands there is weighed by the same rule.
int HexWeight(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 55;
  if (c >= ':') return c - 87;
  return c - 48;
}

std::string_view StringOf(json_t* value) {
  return std::string_view(json_string_value(value), json_string_length(value));
}

}  // namespace

const char* FieldName(int field) { return kFieldNames[field]; }

int FindField(std::string_view name) {
  for (int field = 0; field < kFieldCount; ++field) {
    if (name == kFieldNames[field]) return field;
  }
  return -1;
}

size_t PercentDecode(const char* text, size_t length, char* out) {
  size_t written = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '%' && length - i > 2) {
      const int high = HexWeight(static_cast<unsigned char>(text[i + 1]));
      const int low = HexWeight(static_cast<unsigned char>(text[i + 2]));
      out[written++] = static_cast<char>((high * 16 + low) & 0xFF);
      i += 2;
    } else {
      out[written++] = text[i];
    }
  }
  out[written] = '\0';
  return written;
}

}  // namespace webfilter

using namespace webfilter;

json_t* WebRecord::Field(int field) {
  json_t*& cached = m_Fields[field];
  if (!cached) {
    cached = json_object_get(m_Record, FieldName(field));
    if (!cached) cached = json_null();
  }
  return cached;
}

std::optional<std::string_view> WebRecord::FieldText(int field) {
  json_t* value = Field(field);
  if (!json_is_string(value)) return std::nullopt;
  return StringOf(value);
}

std::string_view WebRecord::Decoded(int field) {
  std::optional<std::string_view>& cached = m_Decoded[field - kFirstDecodedField];
  if (cached) return *cached;

  json_t* value = json_object_get(m_Record, FieldName(field));
  if (!json_is_string(value) || json_string_length(value) == 0) return *(cached = "");
  const std::string_view raw = StringOf(value);
  if (field == kPostBody) {
    const std::optional<std::string_view> type = FieldText(kReqContentType);
    if (!type || type->find(kFormContentType) == std::string_view::npos) return *(cached = raw);
  }

  cBuffer& buffer = m_Buffers[field - kFirstDecodedField];
  const size_t needed = raw.size() + 256;
  if (buffer.Size() < needed) buffer.Allocate(needed);
  char* out = reinterpret_cast<char*>(buffer.Data());
  return *(cached = std::string_view(out, PercentDecode(raw.data(), raw.size(), out)));
}

std::string_view WebRecord::Extension() {
  if (!m_Extension) {
    const std::string_view uri = Decoded(kUri);
    const size_t dot = uri.rfind('.');
    m_Extension = dot == std::string_view::npos ? std::string_view() : uri.substr(dot + 1);
  }
  return *m_Extension;
}

json_t* WebRecord::Detects() {
  if (!m_Detects) {
    m_Detects = json_object_get(m_Record, "webExtendsDetects");
    if (!json_is_array(m_Detects)) {
      m_Detects = json_array();
      json_object_set_new(m_Record, "webExtendsDetects", m_Detects);
    }
  }
  return m_Detects;
}
