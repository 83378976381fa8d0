// Installs the agent into the machine root ($VARLO_ROOT): the folders every Windows host has, the
// install folder with the sub-folders the agent writes into, the programs of a build folder in it
// under the names their command lines use, the stand-in tools in the system folder, and the service
// "VARLO" registered with the place of its slot, where only the administrator can make it.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "common/InstallLayout.h"
#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "platform/tools/ToolUsage.h"

namespace {

const char kUsage[] =
    "usage: varlo-install <folder>\n"
    "Installs the programs built in the folder (such as build/release/bin): VarloService, Varlo\n"
    "and the stand-ins sc, cmd and powershell, into the machine root in VARLO_ROOT (default\n"
    "/var/lib/varlo), and registers the service VARLO.\n";

// Copies an executable; a program the build has not made is skipped when optional.
bool Place(const std::string& binFolder, const char* program, const std::string& windowsTarget,
           bool optional) {
  std::string bytes;
  std::string source = binFolder + "/" + program;
  if (!platform::ReadWholeFile(source, bytes)) {
    if (optional) return true;
    std::fprintf(stderr, "varlo-install: cannot read %s\n", source.c_str());
    return false;
  }
  std::string target = platform::MapPath(windowsTarget);
  if (!platform::WriteFileAtomically(windowsTarget, bytes) || chmod(target.c_str(), 0755) != 0) {
    std::fprintf(stderr, "varlo-install: cannot write %s\n", target.c_str());
    return false;
  }
  std::printf("%s -> %s\n", source.c_str(), windowsTarget.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (AsksForHelp(argc, argv)) return ShowUsage(kUsage);
  if (argc != 2)
    return UsageError("varlo-install", "one folder of built programs is needed", kUsage, 2);
  const std::string bin = argv[1];
  if (bin.rfind('-', 0) == 0) return UsageError("varlo-install", "unknown option " + bin, kUsage, 2);
  struct stat folder {};
  if (stat(bin.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
    return UsageError("varlo-install", "there is no folder " + bin, kUsage, 2);
  const std::string install = kInstallDirDefault;
  const std::string system = platform::kSystemFolder;
  if (!platform::MakeSystemFolders() || !MakeInstallFolders(install).empty()) {
    std::fprintf(stderr, "varlo-install: cannot create the install and system folders\n");
    return 1;
  }
  bool placed = Place(bin, "VarloService", install + "\\VarloService.exe", false) &&
                Place(bin, "Varlo", install + "\\Varlo.exe", true) &&
                Place(bin, "sc", system + "\\sc.exe", false) &&
                Place(bin, "cmd", system + "\\cmd.exe", false) &&
                Place(bin, "powershell", system + "\\powershell.exe", false);
  if (!placed) return 1;
  if (!platform::InstallService("VARLO", "\"" + install + "\\VarloService.exe\"")) {
    std::fprintf(stderr, "varlo-install: cannot register the service (error %u)\n", GetLastError());
    return 1;
  }
  // The stand-in tools keep their Windows names, so only "sc.exe" names the one installed here.
  std::printf("service VARLO registered; start it with: sc.exe start VARLO (sc.exe is in %s)\n",
              platform::MapPath(system).c_str());
  return 0;
}
