#include "VarloService/sysinfo/SystemInfo.h"

#include <spdlog/spdlog.h>

#include <string>
#include <vector>

#include "VarloService/actions/Uilt.h"
#include "common/AgentInfo.h"
#include "common/Nvm.h"
#include "platform/Shutdown.h"

namespace {

constexpr char kNetworkObject[] = "Network Interface";
constexpr char kUpdateListCommand[] = "wmic QFE get HotFixID, InstalledOn";

// The operating system's version key, read-only; nothing is ever written there.
class cOsVersionKey : public cNvm {
 public:
  cOsVersionKey() : cNvm(nullptr, 0) { OpenPath(HKEY_LOCAL_MACHINE, kOsVersionKey, 0); }
};

// Windows 11 and Server 2022 report themselves as 10.0 with the older product name.
void CorrectProductName(cOsVersionKey& key, std::string& name) {
  std::string build;
  if (key.GetString("CurrentBuild", build) != 0 || build.empty() || build[0] <= '1') return;
  if (name.size() >= 10 && name[8] == '1') {
    name[9] = '1';  // "Windows 10 Pro" becomes "Windows 11 Pro"
  } else if (name.size() >= 19 && name[8] == 'S' && name.compare(15, 4, "2019") == 0) {
    name.replace(17, 2, "22");  // "Windows Server 2019 ..." becomes "Windows Server 2022 ..."
  }
}

// The update lines of wmic's output, each followed by ",".
std::string HotFixLines(const std::string& output) {
  std::string lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (line.size() >= 2 && line.compare(0, 2, "KB") == 0) lines += line + ",";
    start = end + 1;
  }
  return lines;
}

bool Replace(std::string& field, const std::string& value) {
  if (field == value) return false;
  field = value;
  return true;
}

}  // namespace

uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

int cSystemInfo::Init(cAgentInfo* record) {
  m_Record = record;
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  m_CpuCount = system.dwNumberOfProcessors;
  SPDLOG_INFO("CPU={}", m_CpuCount);

  m_Process = GetCurrentProcess();
  FILETIME creation, exit, kernel, user, now;
  if (GetProcessTimes(m_Process, &creation, &exit, &kernel, &user)) {
    m_PrevKernelTime = FileTimeValue(kernel);
    m_PrevUserTime = FileTimeValue(user);
  }
  GetSystemTimeAsFileTime(&now);
  m_PrevWallTime = FileTimeValue(now);

  std::string hostName = platform::HostName();
  if (!hostName.empty()) m_Record->m_HostName = hostName;
  SPDLOG_INFO("hostname={}", m_Record->m_HostName);

  SPDLOG_INFO("UpdateIpAddr()={}", UpdateIpAddr());
  ReadOsVersion();
  SPDLOG_INFO("os={} {} {}.{}", m_Record->m_OsWorkType, m_Record->m_OsName, m_Record->m_OsMajor,
              m_Record->m_OsMinor);
  OpenCounters();
  return 0;
}

void cSystemInfo::ReadOsVersion() {
  cOsVersionKey key;
  if (!key.IsOpen()) return;
  key.GetString("ProductName", m_Record->m_OsName);
  std::string installationType;
  if (key.GetString("InstallationType", installationType) == 0) {
    if (installationType == "Server") m_Record->m_OsWorkType = "2";
    if (installationType == "Client") m_Record->m_OsWorkType = "1";
  }
  uint32_t major = 0, minor = 0;
  bool minorRead = false;
  if (key.GetDword("CurrentMajorVersionNumber", major) == 0) {
    m_Record->m_OsMajor = std::to_string(major);
    minorRead = key.GetDword("CurrentMinorVersionNumber", minor) == 0;
    if (minorRead) m_Record->m_OsMinor = std::to_string(minor);
  } else {
    std::string version;
    if (key.GetString("CurrentVersion", version) == 0) {
      size_t dot = version.find('.');
      m_Record->m_OsMajor = version.substr(0, dot);
      m_Record->m_OsMinor = dot == std::string::npos
                                ? ""
                                : version.substr(dot + 1, version.find('\n', dot) - dot - 1);
    }
    return;
  }
  if (major == 10 && minorRead && minor == 0) CorrectProductName(key, m_Record->m_OsName);
}

void cSystemInfo::OpenCounters() {
  if (PdhOpenQueryA(nullptr, 0, &m_Query) != PDH_CSTATUS_VALID_DATA) return;
  PdhAddCounterA(m_Query, kProcessorTimeCounter, 0, &m_CpuCounter);
  PdhAddCounterA(m_Query, kDiskTimeCounter, 0, &m_DiskCounter);

  DWORD counterSize = 0, instanceSize = 0;
  if (PdhEnumObjectItemsA(nullptr, nullptr, kNetworkObject, nullptr, &counterSize, nullptr,
                          &instanceSize, PERF_DETAIL_WIZARD, 0) != PDH_MORE_DATA) {
    return;
  }
  std::vector<char> counters(counterSize), instances(instanceSize);
  if (PdhEnumObjectItemsA(nullptr, nullptr, kNetworkObject, counters.data(), &counterSize,
                          instances.data(), &instanceSize, PERF_DETAIL_WIZARD,
                          0) != PDH_CSTATUS_VALID_DATA) {
    return;
  }
  // The last instance listed is the one measured.
  std::string instance;
  for (const char* name = instances.data(); name < instances.data() + instanceSize && *name;
       name += std::char_traits<char>::length(name) + 1) {
    instance = name;
  }
  if (instance.empty()) return;
  const std::string object = std::string("\\") + kNetworkObject + "(" + instance + ")\\Bytes ";
  PdhAddCounterA(m_Query, (object + "Received/sec").c_str(), 0, &m_RxCounter);
  PdhAddCounterA(m_Query, (object + "Sent/sec").c_str(), 0, &m_TxCounter);
}

int cSystemInfo::UpdateIpAddr() {
  int result = 0;
  std::vector<platform::cAdapter> adapters;
  if (platform::ListAdapters(adapters)) {
    for (const auto& adapter : adapters) {
      if (!adapter.up || adapter.hardwareAddress.empty() || adapter.unicastAddresses.empty())
        continue;
      m_Record->m_IpAddr = adapter.unicastAddresses.front();
      result = 1;
      if (!adapter.gateways.empty()) {
        result = 2;
        break;
      }
    }
  }
  SPDLOG_INFO("IpAddr={}", m_Record->m_IpAddr);
  return result;
}

int cSystemInfo::UpdateOsPatchInfo() {
  std::string releaseId;
  {
    cOsVersionKey key;
    if (key.IsOpen() && key.GetString("ReleaseId", releaseId) != 0)
      key.GetString("CurrentVersion", releaseId);
  }
  std::string output;
  std::string hotFixes =
      RunCommandCapture(kUpdateListCommand, output) == 0 ? HotFixLines(output) : "";
  return Replace(m_Record->m_OsReleaseId, releaseId) + Replace(m_Record->m_HotFixes, hotFixes);
}
