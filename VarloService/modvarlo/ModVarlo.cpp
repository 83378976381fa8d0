#include "VarloService/modvarlo/ModVarlo.h"

#include <spdlog/spdlog.h>

#include "VarloService/actions/Uilt.h"
#include "common/Nvm.h"
#include "platform/Files.h"

namespace {

constexpr char kAppCmd[] = "cmd /c %windir%\\system32\\inetsrv\\appcmd ";
constexpr char kModuleName[] = "ModVarlo";
const char* const kModuleNames[2] = {"ModVarlo32", "ModVarlo"};
const char* const kBitness[2] = {"32", "64"};

bool ValidIndex(int index) { return index == 0 || index == 1; }

}  // namespace

int cModVarlo::IsInstalled() {
  std::string output;
  if (RunCommandCapture(std::string(kAppCmd) + "list module /name:" + kModuleName, output) < 0) return -1;
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
  return RunRegistration(std::string("install module /name:") + kModuleNames[index] + " /image:" + kModVarloFolder +
                         kBitness[index] + "\\ModVarlo.dll /preCondition:bitness" + kBitness[index]);
}

int cModVarlo::UninstallWebMod(int index) {
  if (!ValidIndex(index)) return -1;
  return RunRegistration(std::string("uninstall module /module.name:") + kModuleNames[index]);
}

int cModVarlo::CheckStat() {
  if (m_Type == 0) {
    m_Version.clear();
    platform::cInputFile version(std::string(kModVarloFolder) + "version");
    if (version.is_open()) std::getline(version, m_Version);
    if (m_Version.empty()) {
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
  SPDLOG_INFO("WebModule=\"{}\" v={} stat={}", TypeName(), m_Version, m_Stat);
  return 0;
}

int cModVarlo::Install() {
  SPDLOG_INFO("{}(Stat={})", "cModVarlo::Install", m_Stat);
  return m_Stat == StatUnknown ? -10 : 0;
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
