#include "common/InstallLayout.h"

#include "platform/Files.h"

std::vector<std::string> MakeInstallFolders(const std::string& installDir) {
  std::vector<std::string> failures;
  for (const char* name : kInstallSubFolders) {
    const std::string folder = installDir + "\\" + name;
    if (!platform::CreateFolders(folder))
      failures.push_back("CreateFolders(" + folder + ")=" + std::to_string(GetLastError()));
  }
  return failures;
}
