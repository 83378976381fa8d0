// What the package repository sends: the manifest of a folder and the remote-control file.
#include <filesystem>
#include <sstream>
#include <string>

#include "VarloService/server/Repo.h"
#include "VarloService/service/RemoteOrders.h"
#include "fuzz/targets/FuzzSupport.h"
#include "fuzz/targets/FuzzTargets.h"

namespace {

bool IsWord(const std::string& word) {
  return !word.empty() && word.find_first_of(" \t\n\v\f\r") == std::string::npos;
}

// Placed in a folder, the name names something inside it that Windows can make: none of the
// characters it forbids in file names (among them the ":" of a drive or a stream, and control
// characters: a NUL would cut the name short), and no climbing out once "." and ".." are
// resolved as the file system resolves them.
void RequireInsideFolder(std::string name) {
  Require(name.find_first_of("<>:\"|?*") == std::string::npos);
  for (const unsigned char c : name) Require(c >= 0x20);
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  const std::filesystem::path placed = (std::filesystem::path("package") / name).lexically_normal();
  Require(!placed.empty() && *placed.begin() == "package");
}

}  // namespace

int FuzzManifest(const uint8_t* data, size_t size) {
  std::istringstream manifest{std::string(Bytes(data, size))};
  std::string hash, name;
  while (cRepo::NextManifestEntry(manifest, hash, name)) {
    Require(IsWord(hash) && IsWord(name));
    if (cRepo::IsPackageName(name)) RequireInsideFolder(name);
  }
  return 0;
}

int FuzzRemoteControl(const uint8_t* data, size_t size) {
  const std::string text(Bytes(data, size));
  const cRemoteOrders orders = cRemoteOrders::Parse(text);
  for (const std::string* value :
       {&orders.ip, &orders.seq, &orders.debug, &orders.package, &orders.cmd}) {
    Require(value->find('\n') == std::string::npos);
    Require(value->empty() || text.find(*value) != std::string::npos);
  }
  std::istringstream items(orders.ip);
  for (std::string item; items >> item;) Require(orders.ListsAddress(item));
  return 0;
}
