#pragma once
// How every tool of the stand-in answers about its use: asked with --help (or -h) it prints its
// usage to stdout and succeeds; called wrongly it prints why, then its usage, to stderr and fails.
#include <cstdio>
#include <cstring>
#include <string>

inline bool AsksForHelp(int argc, char** argv) {
  return argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

inline int ShowUsage(const char* usage) {
  std::fputs(usage, stdout);
  return 0;
}

inline int UsageError(const char* tool, const std::string& why, const char* usage, int exitCode) {
  std::fprintf(stderr, "%s: %s\n\n%s", tool, why.c_str(), usage);
  return exitCode;
}
