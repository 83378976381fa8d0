// Stand-in of the command interpreter for the agent's own command lines: "cmd /c" followed by
// commands joined by "&" (each run after the one before) or "&&" (only after a success), where a
// command is "timeout /t N", a batch file (its lines run in turn) or a program.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/NoCase.h"
#include "platform/Process.h"
#include "platform/tools/ToolUsage.h"

namespace {

using cWords = std::vector<std::string>;

const char kUsage[] =
    "usage: cmd /c <command> [& <command> ...]\n"
    "Runs the commands in turn; \"&&\" runs the next only after a success. A command is\n"
    "\"timeout /t <seconds>\", a batch file (.bat or .cmd, its lines run in turn) or a program.\n"
    "The stand-in of the command interpreter, for the machine root in VARLO_ROOT.\n";

int Refuse(const std::string& why) { return UsageError("cmd", why, kUsage, 1); }

bool EndsWithNoCase(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         platform::EqualNoCase(text.substr(text.size() - end.size()), end);
}

std::string Quoted(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

int RunList(const cWords& words);

int Timeout(const cWords& words) {
  if (words.size() < 3 || !platform::EqualNoCase(words[1], "/t"))
    return Refuse("timeout needs /t <seconds>");
  char* end = nullptr;
  long seconds = std::strtol(words[2].c_str(), &end, 10);
  if (*end || seconds < 0) return Refuse("timeout needs a number of seconds");
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return 0;
}

int RunBatch(const std::string& path) {
  platform::cInputFile file(path);
  if (!file.is_open()) {
    std::fprintf(stderr, "'%s' is not recognized as an internal or external command.\n",
                 path.c_str());
    return 1;
  }
  int result = 0;
  for (std::string line; std::getline(file, line);) {
    size_t start = line.find_first_not_of(" \t@");
    if (start == std::string::npos) continue;
    line = line.substr(start);
    if (platform::EqualNoCase(line.substr(0, 4), "rem ") || line.rfind("::", 0) == 0 ||
        platform::EqualNoCase(line, "echo off")) {
      continue;
    }
    result = RunList(platform::SplitCommandLine(line));
  }
  return result;
}

int RunProgram(const cWords& words) {
  std::string commandLine;
  for (const auto& word : words) commandLine += (commandLine.empty() ? "" : " ") + Quoted(word);
  platform::cProcess process;
  platform::cProcessOptions options;
  options.commandLine = commandLine;
  DWORD started = process.Start(options);
  if (started != ERROR_SUCCESS) {
    std::fprintf(stderr, "'%s' is not recognized as an internal or external command.\n",
                 words[0].c_str());
    return started == ERROR_FILE_NOT_FOUND ? 9009 : 1;
  }
  process.Wait(INFINITE);
  DWORD exitCode = 1;
  process.GetExitCode(exitCode);
  return static_cast<int>(exitCode);
}

int RunCommand(const cWords& words) {
  if (words.empty()) return 0;
  if (platform::EqualNoCase(words[0], "timeout")) return Timeout(words);
  if (EndsWithNoCase(words[0], ".bat") || EndsWithNoCase(words[0], ".cmd"))
    return RunBatch(words[0]);
  return RunProgram(words);
}

int RunList(const cWords& words) {
  int result = 0;
  cWords command;
  for (size_t i = 0; i <= words.size(); ++i) {
    bool last = i == words.size();
    if (!last && words[i] != "&" && words[i] != "&&") {
      command.push_back(platform::ExpandEnvironment(words[i]));
      continue;
    }
    result = RunCommand(command);
    command.clear();
    if (!last && words[i] == "&&" && result != 0) break;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) return ShowUsage(kUsage);
  if (argc < 2 || !platform::EqualNoCase(argv[1], "/c")) return Refuse("missing /c");
  if (argc < 3) return Refuse("nothing to run");
  return RunList(cWords(argv + 2, argv + argc));
}
