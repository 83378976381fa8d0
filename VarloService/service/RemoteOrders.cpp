#include "VarloService/service/RemoteOrders.h"

#include <sstream>
#include <utility>

cRemoteOrders cRemoteOrders::Parse(const std::string& text) {
  cRemoteOrders orders;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (key == "ip")
      orders.ip = std::move(value);
    else if (key == "seq")
      orders.seq = std::move(value);
    else if (key == "debug")
      orders.debug = std::move(value);
    else if (key == "package")
      orders.package = std::move(value);
    else if (key == "cmd")
      orders.cmd = std::move(value);
  }
  return orders;
}

bool cRemoteOrders::ListsAddress(const std::string& address) const {
  std::istringstream items(ip);
  for (std::string item; items >> item;) {
    if (item == address) return true;
  }
  return false;
}
