#include "common/ModuleVersion.h"

#include "platform/Files.h"

bool ReadModuleVersion(std::string& line, std::string& refusal) {
  line.clear();
  refusal.clear();
  platform::cInputFile file(kModuleVersionFile);
  for (char c; file.is_open() && file.get(c) && c != '\n';) {
    if (line.size() == kMaxVersionLine) {
      line.clear();
      refusal = std::string(kModuleVersionFile) + " refused: first line over " +
                std::to_string(kMaxVersionLine) + " bytes";
      return false;
    }
    line.push_back(c);
  }
  return !line.empty();
}
