// The remote-control file: an operator's orders to this one agent, kept on the package
// repository under the agent's account key.
#include <spdlog/spdlog.h>

#include <string>

#include "VarloService/actions/Uilt.h"
#include "VarloService/service/RemoteOrders.h"
#include "VarloService/service/VarloService.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/Files.h"
#include "platform/TextConv.h"

int cVarloService::RemoteControl() {
  const std::wstring remotePath = Utf8ToWide("client/" + m_AgentInfo.m_LicenseKey);
  std::string text;
  m_Repo.ConnectEndpoint();
  const int read = m_Repo.GetText(remotePath, text);
  m_Repo.Close();
  if (read < 0 || text.empty()) return -1;
  SPDLOG_INFO("{}() --->", "cVarloService::RemoteControl");

  const cRemoteOrders orders = cRemoteOrders::Parse(text);
  if (!orders.ip.empty()) {
    SPDLOG_INFO("ip={}", ForLog(orders.ip));
    if (!orders.ListsAddress(m_AgentInfo.m_IpAddr)) return -2;
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
    const std::string localFolder = m_AgentInfo.TempFolder() + "\\";
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
