#include "VarloService/service/Isolation.h"

#include <spdlog/spdlog.h>

#include "VarloService/actions/Uilt.h"
#include "VarloService/service/VarloService.h"
#include "common/AgentInfo.h"
#include "platform/Files.h"

namespace {

constexpr char kSystemHosts[] = "C:\\Windows\\System32\\drivers\\etc\\hosts";
constexpr DWORD kCommandWaitMs = 10000;

std::string HostsBackupPath(const std::string& installDir) { return installDir + "\\hosts"; }

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

void RunFirewallCommand(const std::string& commandLine) {
  ExecCmd(commandLine, nullptr, kCommandWaitMs);
}

// The import is the one command whose outcome decides something, so its exit code is read.
bool RunToSuccess(const std::string& commandLine) {
  DWORD exitCode = STILL_ACTIVE;
  return ExecCmd(commandLine, nullptr, kCommandWaitMs, &exitCode) == 0 && exitCode == 0;
}

// Pins the servers' names to the addresses found now; the hosts file in place is kept aside, and
// is never overwritten when it could not be.
void PinServerHosts(const std::string& installDir, const std::string& hostsText) {
  if (platform::FileExists(kSystemHosts) &&
      !platform::MoveReplacing(kSystemHosts, HostsBackupPath(installDir))) {
    SPDLOG_ERROR("Isolate: {} not kept aside ({}), left as it is", kSystemHosts, GetLastError());
    return;
  }
  platform::cOutputFile hosts(kSystemHosts, std::ios::out | std::ios::trunc);
  if (!hosts.is_open()) {
    SPDLOG_ERROR("Isolate: {} not written ({})", kSystemHosts, GetLastError());
    return;
  }
  hosts << hostsText;
  hosts.close();
  if (hosts.fail()) SPDLOG_ERROR("Isolate: {} not written whole", kSystemHosts);
}

// Without a saved hosts file the one in place is the isolation's own, unless no isolation
// happened at all: only then is it kept.
void RestoreHosts(const std::string& installDir, bool isolationWroteHosts) {
  const std::string backup = HostsBackupPath(installDir);
  if (platform::FileExists(backup))
    platform::MoveReplacing(backup, kSystemHosts);
  else if (isolationWroteHosts)
    platform::DeletePath(kSystemHosts);
}

}  // namespace

std::string GetFirewallBackupPath(const std::string& installDir) {
  return installDir + "\\varlo-saved.wfw";
}

int FirewallExport(const std::string& path) {
  if (platform::FileExists(path)) return 0;
  RunFirewallCommand("netsh advfirewall export " + Quoted(path));
  return platform::FileExists(path) ? 1 : -1;
}

int FirewallImport(const std::string& path) {
  if (!platform::FileExists(path)) return -1;
  if (!RunToSuccess("netsh advfirewall import " + Quoted(path))) {
    SPDLOG_ERROR("netsh advfirewall import failed, {} kept", path);
    return RELEASE_IMPORT_FAILED;
  }
  platform::DeletePath(path);
  return 0;
}

int FirewallIsolate(const std::string& addressList) {
  RunFirewallCommand("netsh advfirewall firewall delete rule name=all");
  RunFirewallCommand(
      "netsh advfirewall firewall add rule name=\"VARLO IN\" dir=in action=allow remoteip=" +
      addressList);
  RunFirewallCommand(
      "netsh advfirewall firewall add rule name=\"VARLO OUT\" dir=out action=allow remoteip=" +
      addressList);
  RunFirewallCommand("netsh advfirewall set allprofiles firewallpolicy blockinbound,blockoutbound");
  RunFirewallCommand("netsh advfirewall set allprofiles state on");
  return 1;
}

int IsolateHost(cAgentInfo& agentInfo) {
  const std::string& installDir = agentInfo.m_InstallDir;
  const std::string backup = GetFirewallBackupPath(installDir);
  const int exported = FirewallExport(backup);
  if (exported <= 0) return exported;

  std::string addressList;
  std::string hostsText;
  agentInfo.ResolveServerHosts(addressList, hostsText);
  if (addressList.empty()) {
    // Rules with an empty address list would cut the host off its own servers too.
    SPDLOG_ERROR("Isolate: no server address resolved, nothing changed");
    platform::DeletePath(backup);
    return ISOLATE_NO_SERVER_ADDRESS;
  }
  PinServerHosts(installDir, hostsText);
  return FirewallIsolate(addressList);
}

int ReleaseIsolation(const std::string& installDir) {
  const std::string backup = GetFirewallBackupPath(installDir);
  if (!platform::FileExists(backup)) {
    RestoreHosts(installDir, false);
    return -1;
  }
  // The hosts file follows the firewall: while the import fails the servers stay pinned.
  const int imported = FirewallImport(backup);
  if (imported == 0) RestoreHosts(installDir, true);
  return imported;
}

int cVarloService::Isolate(int mode) {
  if (mode >= 2) return PowerOff();
  if (mode == 0) return ReleaseIsolation(m_AgentInfo.m_InstallDir);
  return IsolateHost(m_AgentInfo);
}
