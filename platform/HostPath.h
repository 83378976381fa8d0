#pragma once
// Host-path helpers shared by the stand-in's sources.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace platform {

// folder + "/" + name ("" folder: name alone).
std::string JoinHost(const std::string& folder, const std::string& name);
// Host path of the entry of folder named name, matched exactly first and then without regard to
// case; empty when there is none.
std::string MatchEntry(const std::string& folder, const std::string& name);

// Opens a host file with open(2) flags. Only a regular file is opened: a folder, a pipe, a device
// or a socket is refused with ERROR_ACCESS_DENIED, and a pipe without its other end is refused at
// once instead of being waited for. The descriptor is close-on-exec; -1 with last error when not
// opened.
int OpenRegularFile(const std::string& hostPath, int flags);

// OpenFile, also telling the identity of the file it opened.
FILE* OpenIdentifiedFile(const std::string& windowsPath, const char* mode, cFileIdentity& identity);

// The non-empty items of a list separated by separator.
std::vector<std::string> SplitList(const std::string& list, char separator);

}  // namespace platform
