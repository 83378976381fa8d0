#include "VarloService/webfilter/LogMask.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

// The members of top-level objects in a body as a tolerant reader takes them, so that whatever a
// client's JSON looks like to anyone who reads it, a listed value is masked in the body's own
// bytes and everything else stays as the client sent it. A string runs to its closing quote, or
// to the end of the text when it has none, whatever bytes it holds; brackets of either kind nest;
// a string at the top of an object is a key unless a ':' came after a key, and then it is that
// key's value. An object may open anywhere at the top level, so one that follows another, or
// bytes that are no JSON, is read as well. On text that the parser accepts, these are the parsed
// object's top-level members.
class cTopLevelMembers {
 public:
  cTopLevelMembers(char* text, size_t length) : m_Pos(text), m_End(text + length) {}

  // Moves to the next member whose value is a string: its raw key and the raw bytes of its value
  // between the quotes.
  bool Next(std::string_view& key, char*& value, size_t& valueLength) {
    while (m_Pos < m_End) {
      const char c = *m_Pos;
      if (c == '"') {
        char* const start = m_Pos + 1;
        const size_t length = SkipString();
        if (m_Depth != 1 || !m_InObject) continue;
        if (m_Expect == kValue) {
          m_Expect = kAfterValue;
          key = m_Key;
          value = start;
          valueLength = length;
          return true;
        }
        m_Key = std::string_view(start, length);
        m_Expect = kColon;
        continue;
      }
      ++m_Pos;
      switch (c) {
        case '{':
        case '[':
          if (m_Depth == 0) {
            m_InObject = c == '{';
            m_Expect = kKey;
          } else if (m_Depth == 1 && m_Expect == kValue) {
            m_Expect = kAfterValue;
          }
          ++m_Depth;
          break;
        case '}':
        case ']':
          if (m_Depth > 0) --m_Depth;
          break;
        case ':':
          if (m_Depth == 1 && m_Expect == kColon) m_Expect = kValue;
          break;
        case ',':
          if (m_Depth == 1) m_Expect = kKey;
          break;
        default:
          if (m_Depth == 1 && m_Expect == kValue && !IsSpace(c)) m_Expect = kAfterValue;
      }
    }
    return false;
  }

 private:
  enum eExpect { kKey, kColon, kValue, kAfterValue };

  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  // From an opening quote to just past its closing quote, or to the end; the length between.
  size_t SkipString() {
    char* const start = ++m_Pos;
    while (m_Pos < m_End) {
      if (*m_Pos == '\\') {
        m_Pos += m_End - m_Pos >= 2 ? 2 : 1;
      } else if (*m_Pos == '"') {
        return static_cast<size_t>(m_Pos++ - start);
      } else {
        ++m_Pos;
      }
    }
    return static_cast<size_t>(m_End - start);
  }

  char* m_Pos;
  char* const m_End;
  size_t m_Depth = 0;
  bool m_InObject = false;
  eExpect m_Expect = kKey;
  std::string_view m_Key;
};

// The key as the parser reads it; escapes are rare in keys, so only they cost a decoding. A key
// that the parser would not take is compared as it stands.
std::string_view DecodeKey(std::string_view raw, std::string& key) {
  if (raw.find('\\') == std::string_view::npos) return raw;
  std::string quoted;
  quoted.reserve(raw.size() + 2);
  quoted.append(1, '"').append(raw).append(1, '"');
  json_t* decoded =
      json_loadb(quoted.data(), quoted.size(), JSON_DECODE_ANY | JSON_ALLOW_NUL, nullptr);
  if (json_is_string(decoded)) {
    key.assign(json_string_value(decoded), json_string_length(decoded));
  } else {
    key.assign(raw);
  }
  json_decref(decoded);
  return key;
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
  // The values are found first and masked after, so that no reading meets another's masking.
  std::vector<std::pair<char*, size_t>> values;
  std::string key;
  const auto read = [&](char* text, size_t bytes) {
    cTopLevelMembers members(text, bytes);
    std::string_view rawKey;
    char* value;
    size_t valueLength;
    while (members.Next(rawKey, value, valueLength)) {
      if (valueLength > 0 && Lists(DecodeKey(rawKey, key))) values.emplace_back(value, valueLength);
    }
  };
  // A NUL is a byte of a string to one reader and the end of the text to another, which then
  // reads what follows it as text of its own: the body is read both ways.
  read(body, length);
  if (std::memchr(body, '\0', length)) {
    for (char *segment = body, *end = body + length; segment < end;) {
      char* nul = static_cast<char*>(std::memchr(segment, '\0', end - segment));
      if (!nul) nul = end;
      read(segment, nul - segment);
      segment = nul + 1;
    }
  }
  for (const auto& [value, valueLength] : values) std::memset(value, kMaskByte, valueLength);
  return values.empty() ? 0 : 1;
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
