#include "VarloService/webfilter/LogMask.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr char kMaskByte = '*';
constexpr std::string_view kFormType = "application/x-www-form-urlencoded";
constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kMultipartType = "multipart/form-data";
// The boundary parameter is looked for only after "multipart/form-data;".
constexpr size_t kBoundarySearchStart = 20;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(std::string_view text, size_t pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  return pos;
}

// The '=' of the "name" parameter of a Content-Disposition value. A "name" that ends a longer
// word ("filename") is passed over, so a file name standing first never hides the field's name.
size_t FindNameParameter(std::string_view value) {
  constexpr size_t kParametersStart = 10;  // after "form-data;"
  for (size_t word = value.find("name", kParametersStart); word != std::string_view::npos;
       word = value.find("name", word + 1)) {
    if (!IsBlank(value[word - 1]) && value[word - 1] != ';') continue;
    const size_t equals = SkipBlanks(value, word + 4);
    if (equals < value.size() && value[equals] == '=') return equals;
  }
  return std::string_view::npos;
}

// Each string of the record keeps its own buffer, and masking never changes a length, so a
// value is masked where it stands and the record needs no new string.
char* WritableText(json_t* string) { return const_cast<char*>(json_string_value(string)); }

// A walk over the members of a top-level object in JSON text that the parser has accepted, so
// that values are masked in the body's own bytes and everything else stays as the client sent it.
class cTopLevelMembers {
 public:
  cTopLevelMembers(char* text, size_t length) : m_Pos(text), m_End(text + length) {}

  // Moves to the next member; its raw key and, for a string value, the raw bytes between the
  // quotes (null otherwise).
  bool Next(std::string_view& key, char*& value, size_t& valueLength) {
    SkipSpace();
    if (m_Pos == m_End) return false;
    if (m_First) {
      if (*m_Pos != '{') return false;
      ++m_Pos;
      m_First = false;
    } else {
      if (*m_Pos != ',') return false;
      ++m_Pos;
    }
    SkipSpace();
    if (m_Pos == m_End || *m_Pos != '"') return false;
    char* keyStart = m_Pos + 1;
    if (!SkipString()) return false;
    key = std::string_view(keyStart, m_Pos - 1 - keyStart);
    SkipSpace();
    if (m_Pos == m_End || *m_Pos != ':') return false;
    ++m_Pos;
    SkipSpace();
    if (m_Pos == m_End) return false;
    value = nullptr;
    valueLength = 0;
    if (*m_Pos == '"') {
      char* valueStart = m_Pos + 1;
      if (!SkipString()) return false;
      value = valueStart;
      valueLength = m_Pos - 1 - valueStart;
      return true;
    }
    SkipValue();
    return true;
  }

 private:
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  void SkipSpace() {
    while (m_Pos < m_End && IsSpace(*m_Pos)) ++m_Pos;
  }
  // From an opening quote to just past its closing quote.
  bool SkipString() {
    for (++m_Pos; m_Pos < m_End; ++m_Pos) {
      if (*m_Pos == '\\') {
        if (++m_Pos == m_End) return false;
      } else if (*m_Pos == '"') {
        ++m_Pos;
        return true;
      }
    }
    return false;
  }
  // A number, literal, object or array, up to the byte after it.
  void SkipValue() {
    int depth = 0;
    while (m_Pos < m_End) {
      const char c = *m_Pos;
      if (c == '"') {
        if (!SkipString()) return;
        continue;
      }
      if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return;
        if (--depth == 0) {
          ++m_Pos;
          return;
        }
      } else if (depth == 0 && (c == ',' || IsSpace(c))) {
        return;
      }
      ++m_Pos;
    }
  }

  char* m_Pos;
  char* const m_End;
  bool m_First = true;
};

// The key as the parser reads it; escapes are rare in keys, so only they cost a decoding.
bool DecodeKey(std::string_view raw, std::string& key) {
  if (raw.find('\\') == std::string_view::npos) {
    key.assign(raw);
    return true;
  }
  std::string quoted;
  quoted.reserve(raw.size() + 2);
  quoted.append(1, '"').append(raw).append(1, '"');
  json_t* decoded = json_loadb(quoted.data(), quoted.size(), JSON_DECODE_ANY, nullptr);
  const bool ok = json_is_string(decoded);
  if (ok) key.assign(json_string_value(decoded), json_string_length(decoded));
  json_decref(decoded);
  return ok;
}

}  // namespace

cLogMask::cLogMask() {
  m_Callbacks.onPartBegin = &cLogMask::OnPartBegin;
  m_Callbacks.onHeaderField = &cLogMask::OnHeaderField;
  m_Callbacks.onHeaderValue = &cLogMask::OnHeaderValue;
  m_Callbacks.onPartData = &cLogMask::OnPartData;
}

cLogMask::~cLogMask() { json_decref(m_List); }

void cLogMask::Conf(json_t* list) {
  json_decref(m_List);
  m_List = list;
}

bool cLogMask::Lists(std::string_view name) const {
  size_t index;
  json_t* entry;
  json_array_foreach(m_List, index, entry) {
    if (json_is_string(entry) &&
        std::string_view(json_string_value(entry), json_string_length(entry)) == name) {
      return true;
    }
  }
  return false;
}

int cLogMask::MaskValue(const char* name, size_t nameLength, char* value, size_t valueLength) {
  if (valueLength < 1) return 0;
  const std::string_view wanted(name, nameLength);
  size_t index;
  json_t* entry;
  json_array_foreach(m_List, index, entry) {
    if (json_is_string(entry) &&
        EqualsNoCase(std::string_view(json_string_value(entry), json_string_length(entry)),
                     wanted)) {
      std::memset(value, kMaskByte, valueLength);
      return 1;
    }
  }
  return 0;
}

int cLogMask::MaskPairs(char* text, size_t length) {
  int result = 0;
  size_t pos = 0;
  for (;;) {
    while (pos < length && IsBlank(text[pos])) ++pos;
    size_t end = pos;
    while (end < length && text[end] != '&' && text[end] != ';') ++end;
    const size_t n = end - pos;
    if (n > 2) {
      char* segment = text + pos;
      const void* equals = std::memchr(segment + 1, '=', n - 1);
      if (equals) {
        const size_t k = static_cast<const char*>(equals) - segment;
        if (k + 1 < n) result |= MaskValue(segment, k, segment + k + 1, n - k - 1);
      }
    }
    if (end >= length) return result;
    pos = end + 1;
  }
}

int cLogMask::Mask(json_t* record) {
  if (json_array_size(m_List) == 0) return 0;

  int query = 0;
  json_t* request = json_object_get(record, "Request");
  if (json_is_string(request)) {
    char* text = WritableText(request);
    char* const end = text + json_string_length(request);
    char* question = static_cast<char*>(std::memchr(text, '?', end - text));
    char* space =
        question ? static_cast<char*>(std::memchr(question, ' ', end - question)) : nullptr;
    if (space && space - question - 1 >= 3) query = MaskPairs(question + 1, space - question - 1);
  }

  json_t* type = json_object_get(record, "Req-Content-Type");
  if (!type) type = json_object_get(record, "Content-Type");
  if (!json_is_string(type)) return query;
  json_t* body = json_object_get(record, "Post-body");
  if (!json_is_string(body) || json_string_length(body) < 3) return query;

  // A header's text ends at its first NUL, as the boundary in it does.
  const std::string_view contentType(json_string_value(type));
  char* text = WritableText(body);
  const size_t length = json_string_length(body);
  auto startsWith = [&](std::string_view prefix) {
    return contentType.substr(0, prefix.size()) == prefix;
  };
  if (startsWith(kFormType)) return MaskPairs(text, length) + query;
  if (startsWith(kJsonType)) return MaskJson(text, length) + query;
  if (startsWith(kMultipartType)) return MaskMultipart(contentType, text, length) + query;
  return query;
}

int cLogMask::MaskJson(char* body, size_t length) {
  // The body is JSON text up to its first NUL; the bytes a client sends after it must not keep
  // the object before it from being masked.
  if (const void* nul = std::memchr(body, '\0', length))
    length = static_cast<const char*>(nul) - body;
  // Only a body the parser accepts is touched. Numbers are read as reals so that an integer
  // beyond 64 bits does not leave the rest of the body unmasked.
  json_t* parsed = json_loadb(body, length, JSON_DECODE_INT_AS_REAL, nullptr);
  const bool isObject = json_is_object(parsed);
  json_decref(parsed);
  if (!isObject) return 0;

  int masked = 0;
  cTopLevelMembers members(body, length);
  std::string_view rawKey;
  char* value;
  size_t valueLength;
  std::string key;
  while (members.Next(rawKey, value, valueLength)) {
    if (value && valueLength > 0 && DecodeKey(rawKey, key) && Lists(key)) {
      std::memset(value, kMaskByte, valueLength);
      masked = 1;
    }
  }
  return masked;
}

int cLogMask::MaskMultipart(std::string_view contentType, char* body, size_t length) {
  if (contentType.size() <= kBoundarySearchStart) return 0;
  const size_t word = contentType.find("boundary", kBoundarySearchStart);
  if (word == std::string_view::npos) return 0;
  const size_t equals = contentType.find('=', word + 8);
  if (equals == std::string_view::npos) return 0;
  const size_t start = SkipBlanks(contentType, equals + 1);
  const size_t end = std::min(contentType.find(';', start), contentType.size());
  std::string_view boundary = contentType.substr(start, end - start);
  // Clients may quote the boundary; the body carries it without the quotes.
  if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"') {
    boundary = boundary.substr(1, boundary.size() - 2);
  }
  if (boundary.empty() || boundary.size() > kMaxBoundaryLength) return 0;

  MultipartState parser;
  std::memcpy(parser.boundary, boundary.data(), boundary.size());
  parser.boundaryLength = static_cast<uint32_t>(boundary.size());
  parser.userData = this;
  m_MaskedCount = 0;
  m_PartState = -1;
  ParseMultipart(parser, m_Callbacks, body, length);
  return m_MaskedCount > 0 ? 1 : 0;
}

int cLogMask::OnPartBegin(MultipartState& parser) {
  static_cast<cLogMask*>(parser.userData)->m_PartState = 0;
  return 0;
}

int cLogMask::OnHeaderField(MultipartState& parser, char* run, size_t length) {
  cLogMask& self = *static_cast<cLogMask*>(parser.userData);
  if (self.m_PartState == 0 && EqualsNoCase(std::string_view(run, length), "Content-Disposition")) {
    self.m_PartState = 1;
  }
  return 0;
}

int cLogMask::OnHeaderValue(MultipartState& parser, char* run, size_t length) {
  cLogMask& self = *static_cast<cLogMask*>(parser.userData);
  if (self.m_PartState != 1) return 0;
  self.m_PartState = 0;
  const std::string_view value(run, length);
  constexpr std::string_view kFormData = "form-data";
  if (value.size() <= kFormData.size() || value.substr(0, kFormData.size()) != kFormData) return 0;
  const size_t equals = FindNameParameter(value);
  if (equals == std::string_view::npos) return 0;
  size_t start = SkipBlanks(value, equals + 1);
  size_t end;
  if (start < value.size() && value[start] == '"') {
    end = value.find('"', ++start);
    if (end == std::string_view::npos) return 0;
  } else {
    end = std::min(value.find(';', start), value.size());
  }
  if (end <= start) return 0;
  self.m_PartName = run + start;
  self.m_PartNameLength = static_cast<uint32_t>(end - start);
  self.m_PartState = 2;
  return 0;
}

int cLogMask::OnPartData(MultipartState& parser, char* run, size_t length) {
  cLogMask& self = *static_cast<cLogMask*>(parser.userData);
  if (self.m_PartState != 2) return 0;
  // Only the first run of a part is a form value; later runs follow a CR inside it.
  self.m_MaskedCount += self.MaskValue(self.m_PartName, self.m_PartNameLength, run, length);
  self.m_PartState = 3;
  return 0;
}
