#pragma once
// The web-server module's state on this host: whether its files are present ("C:\ModVarlo\"),
// whether it is registered in IIS, and its switch under the settings sub-key "ModVarlo".
// Downloading, installing and updating the module waits for its own work; Install does nothing yet.
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
  // -10 before any CheckStat; 0 nothing done.
  int Install();
  // The result of Install when it ran, else 0; stores a change of the switch.
  int Activate(int on);

  // The name the request headers carry: the module type once registered, else "".
  const char* TypeName() const { return m_TypeNames[m_Stat >= StatRegistered ? m_Type : 0]; }

  cRepo* m_pRepo;
  int32_t m_Stat = StatUnknown;
  int32_t m_Active = -1;
  int32_t m_Type = 0;
  const char* m_TypeNames[kTypeCount] = {"", "ModVarlo-Nginx", "ModVarlo-Apache", "ModVarlo-IIS", "SERKA", "VARLO-WAF"};
  std::string m_Version;

 private:
  int RunRegistration(const std::string& arguments);
};
