#include "common/AgentInfo.h"

#include <netdb.h>
#include <sys/socket.h>

#include <mutex>

#include "common/Nvm.h"
#include "platform/TextConv.h"

namespace {

// glibc lists each address once per socket type unless the hints name one.
bool ResolveWithSystem(const std::string& host, std::vector<cResolvedAddress>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0) return false;
  for (addrinfo* item = results; item; item = item->ai_next) {
    char text[NI_MAXHOST];
    if (getnameinfo(item->ai_addr, item->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    addresses.push_back({item->ai_family, text});
  }
  freeaddrinfo(results);
  return true;
}

std::mutex g_resolverMutex;
HostResolver g_resolver;

HostResolver CurrentResolver() {
  std::lock_guard<std::mutex> lock(g_resolverMutex);
  return g_resolver ? g_resolver : HostResolver(ResolveWithSystem);
}

}  // namespace

cAgentInfo::cAgentInfo() {
  NvmVarlo nvm;
  nvm.GetString(NvmVarlo::AgentVersion, m_AgentVersion);
  nvm.GetString(NvmVarlo::InstallDir, m_InstallDir);
  nvm.GetString(NvmVarlo::AgentType, m_AgentType);
  nvm.GetString(NvmVarlo::LicenseKey, m_LicenseKey);
  nvm.GetString(NvmVarlo::AgentId, m_AgentId);
  uint64_t uploadTime = 0;
  nvm.GetQword(NvmVarlo::UploadTime, uploadTime);
  m_UploadTime.store(uploadTime);
}

void cAgentInfo::LoadProxy() {
  NvmVarlo nvm;
  const auto load = [&nvm](NvmVarlo::Value value, std::wstring& field) {
    std::string text;
    const int read = nvm.GetString(value, text);
    field = read == 0 ? WidenBytes(text) : std::wstring();
    return read;
  };
  m_ProxyUnreadable = load(NvmVarlo::Proxy, m_Proxy) == -2;
  load(NvmVarlo::ProxyBypass, m_ProxyBypass);
}

int cAgentInfo::ResolveServerHosts(std::string& addresses, std::string& hosts) const {
  const HostResolver resolve = CurrentResolver();
  bool markerWritten = false;
  for (const char* host : {kDefaultRepoHost, kDefaultApiHost, kDefaultUploadSysHost, kDefaultUploadWebHost}) {
    std::vector<cResolvedAddress> results;
    if (!resolve(host, results)) continue;
    for (const cResolvedAddress& result : results) {
      if (result.family != AF_INET || result.text.empty()) continue;
      if (!addresses.empty()) addresses += ",";
      addresses += result.text;
      if (!markerWritten) hosts += "# varlo\n";
      markerWritten = true;
      hosts += result.text + " " + host + "\n";
    }
  }
  if (m_Proxy.empty()) return 0;
  addresses = NarrowBytes(m_Proxy.substr(0, m_Proxy.find(L':')));
  return 1;
}

void cAgentInfo::SetResolver(HostResolver resolver) {
  std::lock_guard<std::mutex> lock(g_resolverMutex);
  g_resolver = std::move(resolver);
}
