#include "VarloService/modvarlo/ModVarlo.h"

#include <spdlog/spdlog.h>

#include "VarloService/actions/Uilt.h"
#include "VarloService/server/Repo.h"
#include "common/Log.h"
#include "common/ModuleVersion.h"
#include "common/Nvm.h"
#include "platform/Files.h"

namespace {

constexpr char kAppCmd[] = "cmd /c %windir%\\system32\\inetsrv\\appcmd ";
constexpr char kModuleName[] = "ModVarlo";
const char* const kModuleNames[2] = {"ModVarlo32", "ModVarlo"};
const char* const kBitness[2] = {"32", "64"};

constexpr wchar_t kPackageFolder[] = L"v4/module/iis/";
constexpr char kStagingFolder[] = "C:\\ModVarlo\\temp\\";
// The package as it lands in a folder: the files that describe it, and its images.
const char* const kDescription[] = {"manifest", "version"};
const char* const kImages[] = {"32\\ModVarlo.dll", "64\\ModVarlo.dll"};
constexpr int kPackageFilesVerified = 3;

bool ValidIndex(int index) { return index == 0 || index == 1; }

// Moves a staged file over the installed one. A file that cannot be deleted (an image the web
// server still holds) is not overwritten.
bool ReplaceWithStaged(const char* name) {
  const std::string target = std::string(kModVarloFolder) + name;
  platform::DeletePath(target);
  const bool moved = !platform::FileExists(target) &&
                     platform::MoveReplacing(kStagingFolder + std::string(name), target);
  if (!moved) SPDLOG_ERROR("MoveFile({}) failed", target);
  return moved;
}

// The images first: the version file and the manifest follow only when both were replaced, so a
// module that could not be replaced still shows its old version, and the next update tries again.
bool ReplaceInstalledPackage() {
  bool imagesReplaced = true;
  for (const char* image : kImages) imagesReplaced = ReplaceWithStaged(image) && imagesReplaced;
  if (!imagesReplaced) return false;
  for (const char* name : kDescription) ReplaceWithStaged(name);
  return true;
}

}  // namespace

int cModVarlo::IsInstalled() {
  std::string output;
  if (RunCommandCapture(std::string(kAppCmd) + "list module /name:" + kModuleName, output) < 0)
    return -1;
  return output.rfind("MODULE", 0) == 0 ? 0 : -2;
}

int cModVarlo::RunRegistration(const std::string& arguments) {
  std::string output;
  if (RunCommandCapture(kAppCmd + arguments, output) < 0) return -1;
  if (output.empty()) return -2;
  return output.rfind("ERROR", 0) == 0 ? -3 : 0;
}

int cModVarlo::InstallWebMod(int index) {
  if (!ValidIndex(index)) return -1;
  return RunRegistration(std::string("install module /name:") + kModuleNames[index] +
                         " /image:" + kModVarloFolder + kBitness[index] +
                         "\\ModVarlo.dll /preCondition:bitness" + kBitness[index]);
}

int cModVarlo::UninstallWebMod(int index) {
  if (!ValidIndex(index)) return -1;
  return RunRegistration(std::string("uninstall module /module.name:") + kModuleNames[index]);
}

int cModVarlo::CheckStat() {
  if (m_Type == 0) {
    std::string refusal;
    if (!ReadModuleVersion(m_Version, refusal)) {
      // A first line too long for a version is no version: the next install fetches the package
      // again, as for an empty one.
      if (!refusal.empty()) SPDLOG_ERROR("{}", refusal);
      m_Stat = StatNoFiles;
      return 0;
    }
    m_Type = kTypeIis;
  }
  m_Stat = IsInstalled() >= 0 ? StatRegistered : StatFiles;
  m_Active = 1;
  NvmModVarlo settings(0);
  uint32_t active = 1;
  int read = settings.GetDword(NvmModVarlo::Active, active);
  if (read == 0) m_Active = static_cast<int32_t>(active);
  settings.Close();
  SPDLOG_INFO("NvmModVarlo.GetActive()={} {}", read, m_Active);
  SPDLOG_INFO("WebModule=\"{}\" v={} stat={}", TypeName(), ForLog(m_Version), m_Stat);
  return 0;
}

int cModVarlo::DownloadPackage(const char* folder) {
  const std::string target = folder ? folder : kModVarloFolder;
  const bool madeHere = !platform::FolderExists(target);
  platform::CreateFolders(target + "32");
  platform::CreateFolders(target + "64");
  int verified = -1;
  if (m_pRepo) {
    m_pRepo->ConnectEndpoint();
    verified = m_pRepo->DownloadPackage(kPackageFolder, target);
    SPDLOG_INFO("m_pRepo->DownloadPackage()={}", verified);
    m_pRepo->Close();
  }
  if (verified < kPackageFilesVerified) {
    // A folder made for a package that did not come leaves with it, so no module seems present.
    if (madeHere) platform::DeleteTree(target);
    return -1;
  }
  // The next CheckStat reads the new version file.
  m_Type = 0;
  return 0;
}

int cModVarlo::RemovePackage(const char* folder) {
  const std::string target = folder ? folder : kModVarloFolder;
  for (const char* name : kDescription) platform::DeletePath(target + name);
  for (const char* name : kImages) platform::DeletePath(target + name);
  if (folder) {
    platform::DeletePath(target + "32");
    platform::DeletePath(target + "64");
    platform::DeletePath(target);
  }
  return 0;
}

int cModVarlo::CheckUpdate() {
  std::string version;
  if (!m_pRepo || !m_pRepo->FetchVersion(kPackageFolder, version)) return -1;
  if (version == m_Version) return 0;
  SPDLOG_INFO("{} v{} is available", m_TypeNames[kTypeIis], ForLog(version));
  return 1;
}

int cModVarlo::Install() {
  SPDLOG_INFO("{}(Stat={})", "cModVarlo::Install", m_Stat);
  int result = 0;
  if (m_Stat == StatUnknown) return -10;
  if (m_Stat == StatNoFiles) {
    const int downloaded = DownloadPackage();
    SPDLOG_INFO("cModVarlo::DownloadPackage()={}", downloaded);
    if (downloaded < 0) return -11;
    result = 1;
    platform::CreateFolders(std::string(kModVarloFolder) + "logs");
  } else if (m_Stat == StatFiles) {
    const int newer = CheckUpdate();
    SPDLOG_INFO("cModVarlo::CheckUpdate()={}", newer);
    if (newer > 0) {
      const int downloaded = DownloadPackage();
      SPDLOG_INFO("cModVarlo::DownloadPackage()={}", downloaded);
      if (downloaded < 0) return -12;
      result = 2;
    }
  } else {
    const int newer = CheckUpdate();
    SPDLOG_INFO("cModVarlo::CheckUpdate()={}", newer);
    if (newer <= 0) return 0;
    const int downloaded = DownloadPackage(kStagingFolder);
    SPDLOG_INFO("cModVarlo::DownloadPackage()={}", downloaded);
    if (downloaded < 0) {
      RemovePackage(kStagingFolder);
      return -13;
    }
    SPDLOG_INFO("cModVarlo::UninstallWebMod(0)={}", UninstallWebMod(0));
    SPDLOG_INFO("cModVarlo::UninstallWebMod(1)={}", UninstallWebMod(1));
    if (ReplaceInstalledPackage()) {
      result = 3;
      RemovePackage(kStagingFolder);
    } else {
      // The staged package stays for the next try; the old module is registered again.
      result = -14;
    }
  }
  const int registered32 = InstallWebMod(0);
  SPDLOG_INFO("cModVarlo::InstallWebMod(0)={}", registered32);
  if (registered32 < 0) result = -16;
  const int registered64 = InstallWebMod(1);
  SPDLOG_INFO("cModVarlo::InstallWebMod(1)={}", registered64);
  if (registered64 < 0) result = -17;
  CheckStat();
  return result;
}

int cModVarlo::Activate(int on) {
  int result = on >= 1 && m_Stat < StatRegistered ? Install() : 0;
  if (m_Stat < StatRegistered || m_Active == on) return result;
  m_Active = on;
  NvmModVarlo settings(1);
  uint32_t sequence = 0;
  settings.GetDword(NvmModVarlo::Seq, sequence);
  settings.SetDword(NvmModVarlo::Active, static_cast<uint32_t>(on));
  int stored = settings.SetDword(NvmModVarlo::Seq, sequence + 1) == 0 ? 0 : -1;
  settings.Close();
  SPDLOG_INFO("NvmModVarlo.SetActive({})={}", on, stored);
  return result;
}
