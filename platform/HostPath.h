#pragma once
// Host-path helpers shared by the stand-in's sources.
#include <string>
#include <vector>

namespace platform {

// folder + "/" + name ("" folder: name alone).
std::string JoinHost(const std::string& folder, const std::string& name);
// Host path of the entry of folder named name, matched exactly first and then without regard to
// case; empty when there is none.
std::string MatchEntry(const std::string& folder, const std::string& name);

// The non-empty items of a list separated by separator.
std::vector<std::string> SplitList(const std::string& list, char separator);

}  // namespace platform
