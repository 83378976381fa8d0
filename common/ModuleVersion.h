#pragma once
// The installed web-server module's "version" file, which the service and the tray program both
// read: its first line names the version.
#include <cstdint>
#include <string>

#include "common/AnswerLimits.h"

constexpr char kModuleVersionFile[] = "C:\\ModVarlo\\version";
// A version line holds no more than the repository may publish as a version, so a damaged file
// costs neither program more memory than a version.
constexpr uint32_t kMaxVersionLine = kLineAnswer.maxBytes;

// The first line of the version file, without its line end; false when it names no version: no
// file, an empty first line, or one longer than kMaxVersionLine, which is not read further and
// is told in `refusal` for the log (empty otherwise).
bool ReadModuleVersion(std::string& line, std::string& refusal);
