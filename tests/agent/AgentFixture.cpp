#include "tests/agent/AgentFixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "common/Nvm.h"
#include "platform/Files.h"
#include "platform/Registry.h"

namespace {

std::string JobAnswer(const std::vector<std::string>& codes) {
  std::string list;
  for (const std::string& code : codes)
    list += (list.empty() ? "" : ",") + std::string("{\"code\":\"") + code + "\"}";
  return R"({"returnCode":"0","result":{"list":[)" + list + "]}}";
}

}  // namespace

void SetRegistryString(const std::string& subKey, const char* name, const std::string& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
}

std::string RecordingScript(const cRecordingTools& tools, const std::string& name,
                            const std::string& extraShell) {
  return "#!/bin/sh\n{ printf '%s' '" + name +
         "'; for a in \"$@\"; do printf ' %s' \"$a\"; done; printf '\\n'; } >> '" + tools.Folder() +
         "/calls.log'\n" + extraShell;
}

void WriteRecordingScript(const cRecordingTools& tools, const std::string& hostPath,
                          const std::string& name, const std::string& extraShell) {
  std::ofstream(hostPath, std::ios::trunc) << RecordingScript(tools, name, extraShell);
  chmod(hostPath.c_str(), 0755);
}

void cAgentTest::SetUp() {
  platform::SetClock(&m_Clock);
  ASSERT_TRUE(m_Authority.Valid());
  ASSERT_TRUE(m_Authority.InstallAsTrusted());
  ASSERT_TRUE(m_Server.Start());
  ASSERT_TRUE(m_Repository.Start());
  ASSERT_TRUE(m_Upload.Start());
  for (const char* tool : {"cmd", "netsh", "auditpol", "powershell", "sc"}) m_Tools.Add(tool);

  const std::string agentKey = kAgentKeyPath;
  SetRegistryString(agentKey + "\\Domain", "Apis", m_Server.Url());
  SetRegistryString(agentKey + "\\Domain", "Repo", m_Repository.Url());
  SetRegistryString(agentKey + "\\Domain", "UploadSys", m_Upload.Url());
  SetRegistryString(agentKey + "\\Domain", "UploadWeb", m_Upload.Url());
  SetRegistryString(agentKey, "LicenseKey", kAccountKey);
  SetRegistryString(agentKey, "IpAddr", kAgentAddress);
  // No user session: the tray program is started nowhere.
  platform::WriteFileAtomically(platform::StateFolder() + "/sessions.txt", "");
}

void cAgentTest::TearDown() {
  m_Service.reset();
  // Stopped before they are destroyed, so no request reaches a half-destroyed fake.
  m_Server.Stop();
  m_Repository.Stop();
  m_Upload.Stop();
  platform::SetClock(nullptr);
}

void cAgentTest::StartService() {
  m_Service = std::make_unique<cVarloService>(m_Clock);
  m_Service->Init();
  // Start-up's own commands (the audit policy) are not the test's.
  m_Tools.ClearCalls();
}

void cAgentTest::ScriptSignIn() {
  m_Server.Script("POST", "/pauth/login/agent",
                  {200, std::string(R"({"returnCode":"0","ipKey":")") + kAgentKey +
                            R"(","authKey":"session-1"})"});
}

void cAgentTest::ScriptJobs(const std::vector<std::vector<std::string>>& lists) {
  std::vector<cScriptedAnswer> answers;
  for (const auto& codes : lists) answers.push_back({200, JobAnswer(codes)});
  m_Server.Script("GET", "/pserver/agent/agentjob", answers);
}

void cAgentTest::SignInWithSysLogOn() {
  ScriptSignIn();
  m_Server.Script("GET", "/pserver/agent/conf/syslog",
                  {200, R"({"returnCode":"0","result":{"isUpload":"1"}})"});
  ScriptJobs({{"logConf"}, {}});
  StartService();
  m_Service->m_Status = 1;
  ASSERT_EQ(m_Service->Login(), 1);
  ASSERT_EQ(m_Service->m_Sys, 1);
  m_Server.ClearRequests();
  m_Repository.ClearRequests();
  m_Tools.ClearCalls();
}

std::vector<std::string> cAgentTest::ServerCalls() const {
  std::vector<std::string> calls;
  for (const cRecordedRequest& request : m_Server.Requests()) {
    if (request.path.size() >= 10 &&
        request.path.compare(request.path.size() - 10, 10, "/csrftoken") == 0)
      continue;
    calls.push_back(request.method + " " + request.path);
  }
  return calls;
}

std::string cAgentTest::RegistryString(const char* name) {
  NvmVarlo nvm(0);
  std::string value = "<missing>";
  nvm.GetString(name, value);
  return value;
}

uint32_t cAgentTest::RegistryDword(const char* name) {
  NvmVarlo nvm(0);
  uint32_t value = 0xFFFFFFFF;
  nvm.GetDword(name, value);
  return value;
}

std::string cAgentTest::ReadFile(const std::string& windowsPath) {
  std::string bytes;
  if (!platform::ReadWholeFile(windowsPath, bytes)) return "<missing>";
  return bytes;
}

void cAgentTest::PlaceRecordingProgram(const std::string& windowsPath, const std::string& name) {
  WriteRecordingScript(m_Tools, platform::MapPath(windowsPath), name);
}

bool cAgentTest::WaitForCall(const std::string& line) const {
  return WaitUntil(10000, [&] {
    const auto calls = m_Tools.Calls();
    return std::find(calls.begin(), calls.end(), line) != calls.end();
  });
}

std::string cAgentTest::ServiceLog() const {
  return ReadFile(m_Service->m_AgentInfo.m_InstallDir + "\\logs\\event.log");
}
