#include "VarloService/cli/Cli.h"

#include <spdlog/spdlog.h>

#include <string>

#include "VarloService/actions/Uilt.h"
#include "VarloService/mailslot/MsgQueue.h"
#include "VarloService/modvarlo/ModVarlo.h"
#include "VarloService/server/Api.h"
#include "VarloService/server/Repo.h"
#include "VarloService/service/Isolation.h"
#include "VarloService/sysinfo/SystemInfo.h"
#include "common/AgentInfo.h"
#include "common/Log.h"
#include "common/Nvm.h"
#include "platform/NoCase.h"
#include "platform/TextConv.h"

namespace {

constexpr char kStopCommand[] = "powershell -ep bypass stop-service varlo";
constexpr char kStartCommand[] = "powershell -ep bypass start-service varlo";
// The pause lets the service end before it is started again.
constexpr int kRestartPauseSeconds = 10;

bool Is(const char* word, const char* name) { return platform::EqualNoCase(word, name); }

int SendByte(uint8_t code, int value) {
  const uint8_t message[] = {code, static_cast<uint8_t>(value)};
  SendOnce(ServiceSlotPath(), message, sizeof(message));
  return 0;
}

int StatusSelector(const char* word) {
  if (Is(word, "sys")) return 1;
  if (Is(word, "web")) return 2;
  return 0;
}

// Reports the removal or the upgrade through a signed-in client.
int Notify(cApi& api, const char* word) {
  if (Is(word, "uninstall")) {
    return api.Call(cApi::VerbPut, L"/pserver/agent/server/isagentdel", nullptr) >= 0 ? 1 : -4;
  }
  if (Is(word, "upgrade")) {
    json_t* members = json_pack("{s:s}", "returnCode", "30");
    return api.Call(cApi::VerbPost, L"/pserver/agent/update/agent", members) >= 0 ? 2 : -3;
  }
  return 0;
}

}  // namespace

int SendToService(uint8_t code, const char* text) {
  if (!text || !*text) return 0;
  std::string message(1, static_cast<char>(code));
  message += text;
  message += '\0';
  SendOnce(ServiceSlotPath(), message.data(), static_cast<uint32_t>(message.size()));
  return 0;
}

int CliNotify(const char* word) {
  if (!word) return 0;
  cAgentInfo agentInfo;
  cSystemInfo systemInfo;
  systemInfo.Init(&agentInfo);
  std::wstring host;
  int secure = 1;
  int port = 443;
  {
    NvmDomain domain(0);
    if (domain.GetUrl(NvmDomain::Apis, host, secure, port) != 0) host = WidenBytes(kDefaultApiHost);
  }
  agentInfo.LoadProxy();
  cApi api;
  api.SetAgentInfo(&agentInfo);
  if (api.Connect(host, secure, port) < 0) return -1;
  int result = api.Login() == 0 ? Notify(api, word) : -2;
  api.Close();
  return result;
}

int CliModVarlo(const char* word) {
  if (!word) return 0;
  if (Is(word, "uninstall")) {
    cModVarlo module;
    module.CheckStat();
    int unregistered = 0;
    if (module.m_Stat == cModVarlo::StatRegistered) {
      module.UninstallWebMod(0);
      module.UninstallWebMod(1);
      unregistered = 1;
    }
    module.CheckStat();
    SPDLOG_INFO("ModVarlo.Uninstall()={}", unregistered);
    return -1;
  }
  if (Is(word, "upgrade")) {
    cAgentInfo agentInfo;
    agentInfo.LoadProxy();
    cRepo repo;
    repo.SetAgentInfo(&agentInfo);
    cModVarlo module(&repo);
    module.CheckStat();
    int installed = module.Install();
    SPDLOG_INFO("ModVarlo.Update()={}", installed);
    return installed < 0 ? -2 : 2;
  }
  return 0;
}

int CliMain(int argc, char** argv) {
  InitConsoleLog();
  if (argc < 2) return 0;
  const char* word = argv[1];
  const char* argument = argc > 2 ? argv[2] : nullptr;
  if (Is(word, "test")) return SendToService(MSG_UI_TEST, argument);
  if (Is(word, "notify")) return CliNotify(argument);
  if (Is(word, "modvarlo")) return CliModVarlo(argument);
  if (Is(word, "stat")) return argument ? SendByte(MSG_UI_STAT, StatusSelector(argument)) : 0;
  if (Is(word, "cmd")) return SendToService(MSG_UI_CMD, argument);
  if (Is(word, "isolate")) {
    if (argument) return SendByte(MSG_UI_ISOLATE, argument[0] - '0');
    cAgentInfo agentInfo;
    return ReleaseIsolation(agentInfo.m_InstallDir);
  }
  if (Is(word, "stop")) return ExecCmd(kStopCommand, nullptr, 0);
  if (Is(word, "start")) return ExecCmd(kStartCommand, nullptr, 0);
  if (Is(word, "restart")) return ExecCmd(RestartServiceCommand(kRestartPauseSeconds), nullptr, 0);
  return 0;
}
