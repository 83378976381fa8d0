#pragma once
// Environment variables set for the life of the object, then restored as they were.
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class cScopedEnvironment {
 public:
  cScopedEnvironment(std::initializer_list<std::pair<std::string, std::string>> variables) {
    for (const auto& [name, value] : variables) {
      const char* before = std::getenv(name.c_str());
      m_Before.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~cScopedEnvironment() {
    for (const auto& [name, value] : m_Before) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  cScopedEnvironment(const cScopedEnvironment&) = delete;
  cScopedEnvironment& operator=(const cScopedEnvironment&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> m_Before;
};
