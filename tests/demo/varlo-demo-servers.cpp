// varlo-demo-servers: the agent's servers for the local demonstration. A management server, a
// package repository and an upload server listen on 127.0.0.1 with HTTPS from a certificate
// authority made on the spot, which the agent of the machine root ($VARLO_ROOT) is made to trust.
// The servers' URLs go under "Domain" in that machine's registry; then every request of the
// agent is told on standard output, as a person watching would want it, until interrupted.
#include <jansson.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/Nvm.h"
#include "platform/Registry.h"
#include "tests/support/FakeManagementServer.h"
#include "tests/support/FakeRepository.h"
#include "tests/support/FakeUploadServer.h"
#include "tests/support/TestCertificateAuthority.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

// The jobs of successive polls: the configuration first, then now and then a rule list.
const std::vector<std::string> kJobRounds = {
    R"({"returnCode":"0","result":{"list":[{"code":"logConf"}]}})",
    R"({"returnCode":"0","dataNotFoundCode":"1"})",
    R"({"returnCode":"0","dataNotFoundCode":"1"})",
    R"({"returnCode":"0","result":{"list":[{"code":"sysUploadExcept"},{"code":"edrConf"}]}})",
    R"({"returnCode":"0","dataNotFoundCode":"1"})",
};

// A management server that signs in only the demonstration's account key.
class cDemoManagementServer : public cFakeManagementServer {
 public:
  cDemoManagementServer(const cTestCertificateAuthority* authority, std::string accountKey)
      : cFakeManagementServer(authority), m_AccountKey(std::move(accountKey)) {}
  ~cDemoManagementServer() override { Stop(); }

 protected:
  cScriptedAnswer Answer(const cRecordedRequest& request) override {
    if (request.path == "/pauth/login/agent") {
      json_t* body = json_loads(request.body.c_str(), 0, nullptr);
      const char* key = json_string_value(json_object_get(body, "licenseKey"));
      const bool known = key && m_AccountKey == key;
      json_decref(body);
      return {200, known ? R"({"returnCode":"0","ipKey":"demo-agent-1","authKey":"demo-session-1"})"
                         : R"({"returnCode":"10001"})"};
    }
    if (request.path == "/pserver/agent/agentjob")
      return {200, kJobRounds[m_JobPolls++ % kJobRounds.size()]};
    return cFakeManagementServer::Answer(request);
  }

 private:
  std::string m_AccountKey;
  size_t m_JobPolls = 0;
};

bool SetDomainUrl(const char* name, const std::string& url) {
  HKEY key = nullptr;
  const std::string path = std::string(kAgentKeyPath) + "\\Domain";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG written =
      RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                     static_cast<DWORD>(url.size() + 1));
  RegCloseKey(key);
  return written == ERROR_SUCCESS;
}

// A member of a JSON body as short text, "?" when missing.
std::string Member(const std::string& body, const char* name) {
  json_t* value = json_loads(body.c_str(), 0, nullptr);
  json_t* member = json_object_get(value, name);
  std::string text = "?";
  if (json_is_string(member))
    text = json_string_value(member);
  else if (json_is_number(member))
    text = std::to_string(static_cast<int>(json_number_value(member) + 0.5));
  json_decref(value);
  return text;
}

std::string JobCodes(const std::string& answer) {
  json_t* value = json_loads(answer.c_str(), 0, nullptr);
  json_t* list = json_object_get(json_object_get(value, "result"), "list");
  std::string codes;
  for (size_t i = 0; i < json_array_size(list); ++i) {
    const char* code = json_string_value(json_object_get(json_array_get(list, i), "code"));
    if (code) codes += (codes.empty() ? "" : ", ") + std::string(code);
  }
  json_decref(value);
  return codes.empty() ? "nothing to do" : codes;
}

std::string Describe(const cRecordedRequest& request) {
  const std::string& path = request.path;
  if (path == "/pauth/login/agent")
    return "sign-in of host " + Member(request.body, "hostname") + " at " +
           Member(request.body, "serverIp") + " with key " + Member(request.body, "licenseKey") +
           " -> " + (Member(request.answer, "returnCode") == "0" ? "signed in" : "refused");
  if (path == "/pserver/agent/agentjob") return "job poll -> " + JobCodes(request.answer);
  if (path == "/pserver/agent/systemresource")
    return "resource report: processor " + Member(request.body, "cpuUsage") + "%, memory " +
           Member(request.body, "memoryUsage") + "%, disk " + Member(request.body, "diskUsage") +
           "%";
  if (path == "/pserver/agent/systemversion")
    return "operating-system report: " + Member(request.body, "osLatestVersion");
  if (path.rfind("/pserver/agent/conf/", 0) == 0 || path.rfind("/pfilter/agent/conf/", 0) == 0)
    return "configuration asked: " + path.substr(path.rfind('/') + 1);
  return request.method + " " + path;
}

void Tell(const char* server, const std::string& text) {
  std::printf("[server] %-10s %s\n", server, text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: varlo-demo-servers <account key>\n");
    return 2;
  }
  cTestCertificateAuthority authority;
  if (!authority.Valid() || !authority.InstallAsTrusted()) {
    std::fprintf(stderr, "varlo-demo-servers: cannot make the certificate authority\n");
    return 1;
  }
  cDemoManagementServer management(&authority, argv[1]);
  cFakeRepository repository(&authority);
  cFakeUploadServer upload(&authority);
  management.Script("GET", "/pserver/agent/conf/syslog",
                    {200, R"({"returnCode":"0","result":{"isUpload":"1"}})"});
  management.Script("GET", "/pserver/agent/conf/systemresource",
                    {200, R"({"returnCode":"0","result":{"duration":60000,"isUpload":"1"}})"});
  repository.AddFile("/v4/agent/win/version", "5.8.0.8\n");
  if (!management.Start() || !repository.Start() || !upload.Start() ||
      !SetDomainUrl("Apis", management.Url()) || !SetDomainUrl("Repo", repository.Url()) ||
      !SetDomainUrl("UploadSys", upload.Url()) || !SetDomainUrl("UploadWeb", upload.Url())) {
    std::fprintf(stderr, "varlo-demo-servers: cannot start the servers\n");
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  Tell("management", "listening at " + management.Url());
  Tell("repository", "listening at " + repository.Url());
  Tell("upload", "listening at " + upload.Url());

  size_t told = 0, toldRepository = 0, toldBatches = 0;
  while (!g_stop) {
    const auto requests = management.Requests();
    for (; told < requests.size(); ++told) {
      if (requests[told].path.find("/csrftoken") == std::string::npos)
        Tell("management", Describe(requests[told]));
    }
    const auto files = repository.Requests();
    for (; toldRepository < files.size(); ++toldRepository)
      Tell("repository", "GET " + files[toldRepository].path);
    const auto batches = upload.Batches();
    for (; toldBatches < batches.size(); ++toldBatches) {
      const cUploadedBatch& batch = batches[toldBatches];
      Tell("upload", batch.path + ": " + std::to_string(batch.records.size()) + " records" +
                         (batch.error.empty() ? "" : " (" + batch.error + ")"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  management.Stop();
  repository.Stop();
  upload.Stop();
  return 0;
}
