#pragma once
// The one record of what the agent is and where it runs, shared by pointer with every client,
// uploader and collector. Only the upload time and the uninstall flag are written off the
// service thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/InstallLayout.h"

constexpr char kAgentTypeDefault[] = "SIEM_WIN";
constexpr char kAgentVersion[] = "5.8.0.8";
constexpr wchar_t kRepoPathPrefix[] = L"v4/agent/win/";

// One address that a host name resolved to.
struct cResolvedAddress {
  int family = 0;    // AF_INET, AF_INET6, ...
  std::string text;  // numeric form, no port
};

// Resolves a host name; false when it does not resolve.
using HostResolver = std::function<bool(const std::string& host, std::vector<cResolvedAddress>& addresses)>;

class cAgentInfo {
 public:
  // Loads the settings, creating the missing ones with the start values.
  cAgentInfo();
  cAgentInfo(const cAgentInfo&) = delete;
  cAgentInfo& operator=(const cAgentInfo&) = delete;

  // Proxy and bypass list from the settings (created empty when missing). A Proxy too long to
  // read leaves the proxy empty and marks it unreadable: a proxy is set that cannot be used.
  void LoadProxy();

  // The IPv4 addresses of the four default server hosts as a ","-list and as hosts-file lines
  // under the marker "# varlo". With a proxy set the list becomes the proxy's host alone and the
  // result is 1; otherwise 0.
  int ResolveServerHosts(std::string& addresses, std::string& hosts) const;

  // The install folder's "temp": rule files, downloads and staged updates on their way in.
  std::string TempFolder() const { return m_InstallDir + "\\" + kTempSubFolder; }

  // Replaces name resolution (tests); an empty resolver restores the system's.
  static void SetResolver(HostResolver resolver);

  std::string m_AgentType = kAgentTypeDefault;
  std::string m_AgentVersion = kAgentVersion;
  std::atomic<uint32_t> m_Uninstall{0};  // only ever goes from 0 to 1
  std::string m_LicenseKey;              // the account key
  std::string m_AgentId;                 // the agent key
  std::string m_HostName;
  std::string m_IpAddr;
  std::string m_CpuArchitecture = "64";
  std::string m_OsType = "windows";
  std::string m_OsName;
  std::string m_OsMajor;
  std::string m_OsMinor;
  std::string m_OsWorkType = "0";
  std::string m_InstallDir = kInstallDirDefault;
  const wchar_t* m_RepoPath = kRepoPathPrefix;
  std::wstring m_Proxy;
  bool m_ProxyUnreadable = false;
  std::wstring m_ProxyBypass;
  std::atomic<uint64_t> m_UploadTime{0};
  std::string m_OsReleaseId;
  std::string m_HotFixes;  // installed updates
  double m_CpuUsage = 0;
  double m_MemoryUsage = 0;
  double m_DiskUsage = 0;
  double m_DiskActiveTime = 0;
  double m_InboundTraffic = 0;   // bytes per second
  double m_OutboundTraffic = 0;  // bytes per second
  double m_OwnCpuUsage = 0;
  uint64_t m_OwnMemory = 0;      // bytes
};
