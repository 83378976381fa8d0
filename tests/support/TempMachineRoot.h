#pragma once
// A fresh machine root for one test: VARLO_ROOT points at a new temporary folder for the
// object's life, and the folder is removed afterwards.
#include <string>

class cTempMachineRoot {
 public:
  cTempMachineRoot();
  ~cTempMachineRoot();
  cTempMachineRoot(const cTempMachineRoot&) = delete;
  cTempMachineRoot& operator=(const cTempMachineRoot&) = delete;

  // Host path of the root folder.
  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
  std::string m_PreviousRoot;
  bool m_HadPreviousRoot = false;
};
