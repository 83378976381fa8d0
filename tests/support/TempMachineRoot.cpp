#include "tests/support/TempMachineRoot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

cTempMachineRoot::cTempMachineRoot() {
  const std::string pattern = (std::filesystem::temp_directory_path() / "varlo-root-XXXXXX").string();
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  if (!mkdtemp(path.data())) ADD_FAILURE() << "cannot create a temporary machine root";
  m_Path = path.data();
  if (const char* previous = std::getenv("VARLO_ROOT")) {
    m_HadPreviousRoot = true;
    m_PreviousRoot = previous;
  }
  setenv("VARLO_ROOT", m_Path.c_str(), 1);
}

cTempMachineRoot::~cTempMachineRoot() {
  if (m_HadPreviousRoot) {
    setenv("VARLO_ROOT", m_PreviousRoot.c_str(), 1);
  } else {
    unsetenv("VARLO_ROOT");
  }
  std::error_code ignored;
  std::filesystem::remove_all(m_Path, ignored);
}
