#pragma once
// A response command with "$[name]" placeholders that the named groups of matching expressions
// fill. Values come from event text, so they are checked before the command may run.
#include <jansson.h>
#include <pcre.h>

#include <string>
#include <string_view>
#include <vector>

namespace sysfilter {

class cCmdTemplate {
 public:
  cCmdTemplate() = default;
  ~cCmdTemplate();
  cCmdTemplate(cCmdTemplate&& other) noexcept;
  cCmdTemplate& operator=(cCmdTemplate&& other) noexcept;
  cCmdTemplate(const cCmdTemplate&) = delete;
  cCmdTemplate& operator=(const cCmdTemplate&) = delete;

  // Cuts the text into literal pieces and placeholders; no text leaves the template empty. A
  // "$[" without a closing bracket stays in the command as written.
  void Parse(const char* text);

  // The command as a new JSON string: literals and filled values in order, an empty placeholder
  // adding nothing. Null when the result is not valid UTF-8.
  json_t* Build() const;

  // Releases the filled values, so every placeholder is empty again.
  void Clear();

  // Fills every still empty placeholder from the named group of that name of one match.
  // captureCount is the number of captured pairs the match reported.
  void Fill(const pcre* code, const char* subject, const int* ovector, int captureCount);

  // True when a filled value holds a character that the command's interpreter would act on:
  // cmd's (quotes, & | < > ^ % ; backtick, line breaks) in every command, and PowerShell's own
  // ($ ( ) @ { } [ ] , # the typographic quotes and any whitespace) in one that PowerShell runs;
  // or when a value would change how the command splits into arguments (see KeepsArguments).
  // Such a command must not run.
  bool HasUnsafeValue() const;

 private:
  struct cPiece {
    std::string text;  // the literal, or the placeholder's name
    bool placeholder = false;
    const char* value = nullptr;  // owned, from pcre_get_named_substring
    int valueLength = 0;
  };
  // True when every filled value stays inside the argument its placeholder stands in, by the
  // Windows rules: whitespace in a value only between double quotes, and no backslash of a value
  // escaping a quote of the template.
  bool KeepsArguments() const;

  std::vector<cPiece> m_pieces;
  bool m_powerShell = false;  // the literal text starts PowerShell
};

}  // namespace sysfilter
