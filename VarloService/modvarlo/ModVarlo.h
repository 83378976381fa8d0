#pragma once
// The web-server module on this host: its files in "C:\ModVarlo\" as the repository folder
// "v4/module/iis/" publishes them, its two registrations in IIS (made with appcmd) and its switch
// under the settings sub-key "ModVarlo". Runs on the service thread only.
#include <cstdint>
#include <string>

class cRepo;

constexpr char kModVarloFolder[] = "C:\\ModVarlo\\";

class cModVarlo {
 public:
  // State: -1 unknown, 0 no module files, 1 files present but not registered, 2 registered.
  enum { StatUnknown = -1, StatNoFiles = 0, StatFiles = 1, StatRegistered = 2 };
  static constexpr int kTypeCount = 6;
  static constexpr int kTypeIis = 3;

  explicit cModVarlo(cRepo* repo = nullptr) : m_pRepo(repo) {}

  // 0 registered in IIS; -1 the check did not run; -2 not registered.
  int IsInstalled();
  // Registers or unregisters one bitness (0: 32-bit, 1: 64-bit): 0; -1 not run; -2 no output;
  // -3 the tool answered with an error.
  int InstallWebMod(int index);
  int UninstallWebMod(int index);
  // Reads the version, the registration and the switch. Always 0.
  int CheckStat();
  // Fetches the package into folder (null: the module folder) through the repository client:
  // 0; -1 fewer than three files verified, or no repository client (a folder that this call
  // made is then removed again).
  int DownloadPackage(const char* folder = nullptr);
  // Deletes the package's files in folder; a named folder goes with its sub-folders. 0.
  int RemovePackage(const char* folder = nullptr);
  // 1 the repository publishes another version; 0 the same; -1 the version could not be read.
  int CheckUpdate();
  // Brings the module to registered: 0 nothing done; 1 installed; 2 files fetched again;
  // 3 updated; -10 state unknown; -11, -12, -13 download failed; -14 an image could not be
  // replaced (the old version stays, so the next update tries again); -16, -17 registration
  // failed.
  int Install();
  // The result of Install when it ran, else 0; stores a change of the switch.
  int Activate(int on);

  // The name the request headers carry: the module type once registered, else "".
  const char* TypeName() const { return m_TypeNames[m_Stat >= StatRegistered ? m_Type : 0]; }

  cRepo* m_pRepo;
  int32_t m_Stat = StatUnknown;
  int32_t m_Active = -1;
  int32_t m_Type = 0;
  const char* m_TypeNames[kTypeCount] = {
      "", "ModVarlo-Nginx", "ModVarlo-Apache", "ModVarlo-IIS", "SERKA", "VARLO-WAF"};
  std::string m_Version;

 private:
  int RunRegistration(const std::string& arguments);
};
