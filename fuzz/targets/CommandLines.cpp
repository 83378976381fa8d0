// Windows command lines as the stand-in splits them before it starts a program.
#include <string>
#include <vector>

#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"
#include "platform/Process.h"

namespace {

bool NeedsQuotes(const std::string& argument) {
  return argument.empty() || argument.find_first_of(" \t\"") != std::string::npos;
}

// An argument written so that the runtime's rules give it back: backslashes doubled before a
// quote, quotes escaped.
std::string Quoted(const std::string& argument) {
  if (!NeedsQuotes(argument)) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + '"';
}

// The program name takes no escapes: it cannot hold a quote, and its backslashes stay as they are.
std::string JoinedLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      line += NeedsQuotes(arguments[0]) ? "\"" + arguments[0] + "\"" : arguments[0];
    } else {
      line += ' ' + Quoted(arguments[i]);
    }
  }
  return line;
}

}  // namespace

int FuzzCommandLine(const uint8_t* data, size_t size) {
  const std::vector<std::string> arguments = platform::SplitCommandLine(std::string(Bytes(data, size)));
  if (arguments.empty()) return 0;
  Require(arguments[0].find('"') == std::string::npos);
  Require(platform::SplitCommandLine(JoinedLine(arguments)) == arguments);
  return 0;
}
