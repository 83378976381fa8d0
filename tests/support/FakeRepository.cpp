#include "tests/support/FakeRepository.h"

#include "common/Sha256.h"

void cFakeRepository::AddFile(const std::string& path, const std::string& content, int status) {
  Script("GET", path, cScriptedAnswer{status, content, "application/octet-stream"});
}

std::string cFakeRepository::Manifest(const std::map<std::string, std::string>& files, const std::string& lineEnd) {
  std::string manifest;
  for (const auto& file : files) manifest += Sha256Hex(file.second) + lineEnd + file.first + lineEnd;
  return manifest;
}

void cFakeRepository::AddPackage(const std::string& folder, const std::map<std::string, std::string>& files,
                                 const std::string& lineEnd) {
  for (const auto& file : files) AddFile(folder + file.first, file.second);
  AddFile(folder + "manifest", Manifest(files, lineEnd));
}
