// Windows command lines: splitting into arguments and finding the program they name.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/HostPath.h"
#include "platform/Process.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name: quotes group and are dropped, backslashes are plain characters.
size_t TakeProgramName(const std::string& line, size_t position, std::string& name) {
  bool quoted = false;
  for (; position < line.size(); ++position) {
    char c = line[position];
    if (c == '"') {
      quoted = !quoted;
    } else if (IsBlank(c) && !quoted) {
      break;
    } else {
      name += c;
    }
  }
  return position;
}

// One further argument by the C runtime's rules for backslashes and quotes.
size_t TakeArgument(const std::string& line, size_t position, std::string& argument) {
  bool quoted = false;
  while (position < line.size()) {
    char c = line[position];
    if (c == '\\') {
      size_t backslashes = 0;
      while (position < line.size() && line[position] == '\\') {
        ++backslashes;
        ++position;
      }
      if (position < line.size() && line[position] == '"') {
        argument.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          argument += '"';
          ++position;
        }
      } else {
        argument.append(backslashes, '\\');
      }
    } else if (c == '"') {
      if (quoted && position + 1 < line.size() && line[position + 1] == '"') {
        argument += '"';  // "" inside quotes is one quote, and the quotes go on
        position += 2;
      } else {
        quoted = !quoted;
        ++position;
      }
    } else if (IsBlank(c) && !quoted) {
      break;
    } else {
      argument += c;
      ++position;
    }
  }
  return position;
}

bool IsRegularFile(const std::string& hostPath) {
  struct stat info;
  return !hostPath.empty() && stat(hostPath.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The file as named, then with ".exe" (installed programs carry Windows names).
std::string TryWithExe(const std::string& folder, const std::string& name) {
  for (const std::string& candidate : {name, name + ".exe"}) {
    std::string host = folder.empty() ? MapPath(candidate) : MatchEntry(folder, candidate);
    if (IsRegularFile(host)) return host;
  }
  return std::string();
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  size_t position = 0;
  while (position < commandLine.size() && IsBlank(commandLine[position])) ++position;
  if (position == commandLine.size()) return arguments;
  std::string name;
  position = TakeProgramName(commandLine, position, name);
  arguments.push_back(name);
  for (;;) {
    while (position < commandLine.size() && IsBlank(commandLine[position])) ++position;
    if (position >= commandLine.size()) break;
    std::string argument;
    position = TakeArgument(commandLine, position, argument);
    arguments.push_back(argument);
  }
  return arguments;
}

std::string FindProgram(const std::string& name) {
  if (name.empty()) return std::string();
  bool hasFolder = name.find_first_of("\\/") != std::string::npos || (name.size() >= 2 && name[1] == ':');
  if (hasFolder) return TryWithExe("", name);
  std::string path;
  GetVariable("PATH", path);
  std::vector<std::string> folders = SplitList(path, ':');
  // Windows also finds programs in its system folders. They come after PATH here, so that the
  // recording stand-ins a test puts first in PATH still win.
  folders.push_back(MapPath(kSystemFolder));
  folders.push_back(MapPath("C:\\Windows"));
  for (const std::string& folder : folders) {
    std::string found = TryWithExe(folder, name);
    if (!found.empty()) return found;
  }
  return std::string();
}

}  // namespace platform
