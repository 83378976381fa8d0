#include "VarloService/sysfilter/CmdTemplate.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <utility>

namespace sysfilter {

namespace {
constexpr std::string_view kOpen = "$[";
// What cmd acts on; refused in every command, since any program may hand its arguments to cmd.
constexpr std::string_view kCmdCharacters = "\"'&|<>^%;`\r\n";
// What PowerShell acts on besides: variables and sub-expressions, splatting, script blocks, type
// and index brackets, argument lists and comments.
constexpr std::string_view kPowerShellCharacters = "$()@{}[],#";
// PowerShell also takes the typographic quotes, U+2018 to U+201E, as quotes.
constexpr std::string_view kTypographicQuotes[] = {"\xe2\x80\x98", "\xe2\x80\x99", "\xe2\x80\x9a",
                                                   "\xe2\x80\x9b", "\xe2\x80\x9c", "\xe2\x80\x9d",
                                                   "\xe2\x80\x9e"};

bool HasTypographicQuote(std::string_view value) {
  return std::any_of(
      std::begin(kTypographicQuotes), std::end(kTypographicQuotes),
      [value](std::string_view quote) { return value.find(quote) != std::string_view::npos; });
}

// The command's own text starts PowerShell, as its program or through cmd.
bool NamesPowerShell(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("powershell") != std::string::npos || lower.find("pwsh") != std::string::npos;
}
}  // namespace

cCmdTemplate::~cCmdTemplate() { Clear(); }

cCmdTemplate::cCmdTemplate(cCmdTemplate&& other) noexcept
    : m_pieces(std::move(other.m_pieces)), m_powerShell(other.m_powerShell) {
  other.m_pieces.clear();
}

cCmdTemplate& cCmdTemplate::operator=(cCmdTemplate&& other) noexcept {
  if (this != &other) {
    Clear();
    m_pieces = std::move(other.m_pieces);
    m_powerShell = other.m_powerShell;
    other.m_pieces.clear();
  }
  return *this;
}

void cCmdTemplate::Parse(const char* text) {
  Clear();
  m_pieces.clear();
  m_powerShell = false;
  if (!text) return;
  const std::string_view command(text);
  size_t pos = 0;
  while (pos < command.size()) {
    const size_t open = command.find(kOpen, pos);
    if (open == std::string_view::npos) break;
    const size_t close = command.find(']', open + kOpen.size());
    if (close == std::string_view::npos) break;
    if (open > pos) m_pieces.push_back({std::string(command.substr(pos, open - pos))});
    const size_t nameStart = open + kOpen.size();
    if (close > nameStart) {
      cPiece placeholder{std::string(command.substr(nameStart, close - nameStart))};
      placeholder.placeholder = true;
      m_pieces.push_back(std::move(placeholder));
    }
    pos = close + 1;
  }
  if (pos < command.size()) m_pieces.push_back({std::string(command.substr(pos))});
  m_powerShell = std::any_of(m_pieces.begin(), m_pieces.end(), [](const cPiece& piece) {
    return !piece.placeholder && NamesPowerShell(piece.text);
  });
}

json_t* cCmdTemplate::Build() const {
  std::string command;
  for (const cPiece& piece : m_pieces) {
    if (!piece.placeholder) {
      command += piece.text;
    } else if (piece.value) {
      command.append(piece.value, static_cast<size_t>(piece.valueLength));
    }
  }
  return json_stringn(command.data(), command.size());
}

void cCmdTemplate::Clear() {
  for (cPiece& piece : m_pieces) {
    if (piece.value) pcre_free_substring(piece.value);
    piece.value = nullptr;
    piece.valueLength = 0;
  }
}

void cCmdTemplate::Fill(const pcre* code, const char* subject, const int* ovector,
                        int captureCount) {
  for (cPiece& piece : m_pieces) {
    if (!piece.placeholder || piece.value) continue;
    const char* value = nullptr;
    const int length = pcre_get_named_substring(code, subject, const_cast<int*>(ovector),
                                                captureCount, piece.text.c_str(), &value);
    if (length > 0) {
      piece.value = value;
      piece.valueLength = length;
    } else if (length == 0) {
      // A group that did not take part: the placeholder stays open for a later match.
      pcre_free_substring(value);
    }
  }
}

bool cCmdTemplate::HasUnsafeValue() const {
  for (const cPiece& piece : m_pieces) {
    if (!piece.value) continue;
    const std::string_view value(piece.value, static_cast<size_t>(piece.valueLength));
    if (value.find_first_of(kCmdCharacters) != std::string_view::npos) return true;
    if (m_powerShell && (value.find_first_of(kPowerShellCharacters) != std::string_view::npos ||
                         HasTypographicQuote(value))) {
      return true;
    }
  }
  return false;
}

}  // namespace sysfilter
