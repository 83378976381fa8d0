// The remote-control file: an operator's orders to this one agent, kept on the package
// repository under the agent's account key.
#include <spdlog/spdlog.h>

#include <sstream>
#include <string>

#include "VarloService/actions/Uilt.h"
#include "VarloService/service/VarloService.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "platform/TextConv.h"

namespace {

// The values of the file's keys; an empty value counts as absent.
struct cRemoteOrders {
  std::string ip;
  std::string seq;
  std::string debug;
  std::string package;
  std::string cmd;
};

cRemoteOrders ParseRemoteOrders(const std::string& text) {
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

bool ListsAddress(const std::string& list, const std::string& address) {
  std::istringstream items(list);
  for (std::string item; items >> item;) {
    if (item == address) return true;
  }
  return false;
}

}  // namespace

int cVarloService::RemoteControl() {
  const std::wstring remotePath = Utf8ToWide("client/" + m_AgentInfo.m_LicenseKey);
  std::string text;
  m_Repo.ConnectEndpoint();
  const int read = m_Repo.GetText(remotePath, text);
  m_Repo.Close();
  if (read < 0 || text.empty()) return -1;
  SPDLOG_INFO("{}() --->", "cVarloService::RemoteControl");

  const cRemoteOrders orders = ParseRemoteOrders(text);
  if (!orders.ip.empty()) {
    SPDLOG_INFO("ip={}", ForLog(orders.ip));
    if (!ListsAddress(orders.ip, m_AgentInfo.m_IpAddr)) return -2;
  }
  if (!orders.seq.empty()) {
    SPDLOG_INFO("seq={}", ForLog(orders.seq));
    NvmVarlo nvm;
    std::string applied;
    nvm.GetString(NvmVarlo::RC, applied);
    if (applied == orders.seq) return -3;
    nvm.SetString(NvmVarlo::RC, orders.seq);
  }
  if (!orders.debug.empty()) {
    SPDLOG_INFO("debug={}", ForLog(orders.debug));
    m_EvtLogSvc.Relay().Open(orders.debug[0] - '0');
  }
  if (!orders.package.empty()) {
    SPDLOG_INFO("package={}", ForLog(orders.package));
    const std::string localFolder = m_AgentInfo.m_InstallDir + "\\temp\\";
    m_Repo.ConnectEndpoint();
    m_Repo.DownloadPackage(Utf8ToWide(orders.package), localFolder);
    m_Repo.Close();
    platform::DeletePath(localFolder + "manifest");
  }
  if (!orders.cmd.empty()) {
    SPDLOG_INFO("cmd={}", ForLog(orders.cmd));
    ExecCmd(orders.cmd, m_AgentInfo.m_InstallDir.c_str(), 0);
  }
  return 0;
}
