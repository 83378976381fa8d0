#include "VarloService/sysfilter/CmdTemplate.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <utility>

#include "platform/Process.h"

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

// Whitespace by PowerShell's reading, in UTF-8: the ASCII controls and the Unicode spaces. Windows
// itself splits at blanks and tabs only, but the program that gets the argument may split at any.
constexpr std::string_view kAsciiWhitespace = " \t\r\n\v\f";
constexpr std::string_view kUnicodeWhitespace[] = {
    u8"\u0085", u8"\u00a0", u8"\u1680", u8"\u2000", u8"\u2001", u8"\u2002", u8"\u2003",
    u8"\u2004", u8"\u2005", u8"\u2006", u8"\u2007", u8"\u2008", u8"\u2009", u8"\u200a",
    u8"\u2028", u8"\u2029", u8"\u202f", u8"\u205f", u8"\u3000"};

// Byte length of the whitespace character that starts the text, 0 when it starts with none.
size_t WhitespaceLength(std::string_view text) {
  if (text.empty()) return 0;
  if (kAsciiWhitespace.find(text.front()) != std::string_view::npos) return 1;
  for (std::string_view space : kUnicodeWhitespace) {
    if (text.substr(0, space.size()) == space) return space.size();
  }
  return 0;
}

bool HasWhitespace(std::string_view value) {
  for (size_t pos = 0; pos < value.size(); ++pos) {
    if (WhitespaceLength(value.substr(pos)) > 0) return true;
  }
  return false;
}

// The value with each whitespace character as one blank, where Windows splits for certain.
std::string Blanked(std::string_view value) {
  std::string blanked;
  size_t pos = 0;
  while (pos < value.size()) {
    const size_t length = WhitespaceLength(value.substr(pos));
    if (length > 0) {
      blanked += ' ';
      pos += length;
    } else {
      blanked += value[pos++];
    }
  }
  return blanked;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
}

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
    // PowerShell reads its arguments again as script text, where the Windows quotes that kept a
    // value in one argument are gone and whitespace separates once more.
    if (m_powerShell && (value.find_first_of(kPowerShellCharacters) != std::string_view::npos ||
                         HasTypographicQuote(value) || HasWhitespace(value))) {
      return true;
    }
  }
  return !KeepsArguments();
}

bool cCmdTemplate::KeepsArguments() const {
  // The command as run, with whitespace in values as blanks, must split as the template does
  // with a marker in place of each value; the markers hold nothing that Windows splits at or
  // that escapes a quote.
  std::string command;
  std::string reference;
  std::vector<std::pair<std::string, std::string>> markedValues;
  for (const cPiece& piece : m_pieces) {
    if (!piece.placeholder) {
      command += piece.text;
      reference += piece.text;
    } else if (piece.value) {
      std::string marker = "\x01" + std::to_string(markedValues.size()) + "\x02";
      std::string value =
          Blanked(std::string_view(piece.value, static_cast<size_t>(piece.valueLength)));
      command += value;
      reference += marker;
      markedValues.emplace_back(std::move(marker), std::move(value));
    }
  }
  std::vector<std::string> expected = platform::SplitCommandLine(reference);
  for (std::string& argument : expected) {
    for (const auto& [marker, value] : markedValues) ReplaceAll(argument, marker, value);
  }
  return platform::SplitCommandLine(command) == expected;
}

}  // namespace sysfilter
