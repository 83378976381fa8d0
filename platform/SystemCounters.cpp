// Host facts from /proc, statvfs, getifaddrs and gethostname; rates from two samples taken at the
// ticks of the clock in use, so tests can fix the interval.
#include "platform/SystemCounters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Shutdown.h"

namespace {

constexpr char kNetworkObject[] = "Network Interface";
constexpr char kProcessorPath[] = "\\Processor(_Total)\\% Processor Time";
constexpr char kDiskPath[] = "\\PhysicalDisk(_Total)\\% Disk Time";
constexpr char kNetworkPrefix[] = "\\Network Interface(";
constexpr char kReceivedSuffix[] = ")\\Bytes Received/sec";
constexpr char kSentSuffix[] = ")\\Bytes Sent/sec";
// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeEpochOffset = 116444736000000000ULL;

std::string ProcFile(const std::string& name) {
  std::string overrideFolder = platform::StateFolder() + "/proc";
  return (platform::FolderExists(overrideFolder) ? overrideFolder : std::string("/proc")) + "/" +
         name;
}

void ToFileTime(uint64_t value, FILETIME* time) {
  time->dwLowDateTime = static_cast<DWORD>(value);
  time->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

uint64_t TimevalTo100ns(const timeval& value) {
  return (static_cast<uint64_t>(value.tv_sec) * 1000000ULL + static_cast<uint64_t>(value.tv_usec)) *
         10ULL;
}

// "name: value kB" lines of /proc/meminfo and /proc/self/status, in bytes.
bool ReadKilobytes(const std::string& path, const std::string& key, uint64_t& bytes) {
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      bytes = std::stoull(line.substr(key.size() + 1)) * 1024ULL;
      return true;
    }
  }
  return false;
}

// Busy and total processor ticks of all processors.
bool SampleProcessor(double& busy, double& total) {
  std::ifstream file(ProcFile("stat"));
  std::string label;
  if (!(file >> label) || label != "cpu") return false;
  double field, all = 0, idle = 0;
  for (int index = 0; index < 8 && file >> field; ++index) {
    all += field;
    if (index == 3 || index == 4) idle += field;  // idle and waiting for I/O
  }
  busy = all - idle;
  total = all;
  return all > 0;
}

bool IsPhysicalDisk(const std::string& name, const std::vector<std::string>& all) {
  for (const char* logical : {"loop", "ram", "zram", "sr", "dm-", "md", "fd"}) {
    if (name.rfind(logical, 0) == 0) return false;
  }
  // A partition is named after its disk.
  return std::none_of(all.begin(), all.end(), [&](const std::string& other) {
    return other.size() < name.size() && name.compare(0, other.size(), other) == 0;
  });
}

// Milliseconds spent doing I/O, summed over the physical disks, and their number.
bool SampleDisks(double& busyMs, double& disks) {
  std::ifstream file(ProcFile("diskstats"));
  std::vector<std::pair<std::string, double>> devices;
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    std::string major, minor, name;
    fields >> major >> minor >> name;
    double value = 0, ioTicks = -1;
    for (int column = 4; column <= 13 && fields >> value; ++column) {
      if (column == 13) ioTicks = value;
    }
    if (ioTicks >= 0) devices.emplace_back(name, ioTicks);
  }
  std::vector<std::string> names;
  for (const auto& device : devices) names.push_back(device.first);
  busyMs = 0;
  disks = 0;
  for (const auto& device : devices) {
    if (!IsPhysicalDisk(device.first, names)) continue;
    busyMs += device.second;
    disks += 1;
  }
  return disks > 0;
}

// Interfaces of /proc/net/dev with their received and sent byte counts, in file order.
std::vector<std::pair<std::string, std::pair<double, double>>> ReadNetworkDevices() {
  std::vector<std::pair<std::string, std::pair<double, double>>> devices;
  std::ifstream file(ProcFile("net/dev"));
  for (std::string line; std::getline(file, line);) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(0, name.find_first_not_of(' '));
    std::istringstream fields(line.substr(colon + 1));
    double value, received = 0, sent = 0;
    for (int index = 0; index < 9 && fields >> value; ++index) {
      if (index == 0) received = value;
      if (index == 8) sent = value;
    }
    if (name != "lo") devices.push_back({name, {received, sent}});
  }
  return devices;
}

enum class eCounterKind { Processor, Disk, Received, Sent };

struct cSample {
  double first = 0;   // the counted quantity
  double second = 0;  // its base: processor ticks or the number of disks
  uint64_t tickMs = 0;
};

class cCounter : public platform::cKernelObject {
 public:
  cCounter(eCounterKind kind, std::string instance)
      : m_Kind(kind), m_Instance(std::move(instance)) {}

  void Collect() {
    cSample sample;
    sample.tickMs = platform::Clock().TickMs();
    bool taken = false;
    switch (m_Kind) {
      case eCounterKind::Processor:
        taken = SampleProcessor(sample.first, sample.second);
        break;
      case eCounterKind::Disk:
        taken = SampleDisks(sample.first, sample.second);
        break;
      case eCounterKind::Received:
      case eCounterKind::Sent:
        for (const auto& device : ReadNetworkDevices()) {
          if (device.first != m_Instance) continue;
          sample.first =
              m_Kind == eCounterKind::Received ? device.second.first : device.second.second;
          taken = true;
        }
        break;
    }
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Previous = m_Current;
    m_HavePrevious = m_HaveCurrent;
    m_Current = sample;
    m_HaveCurrent = taken;
  }

  // The rate between the last two samples.
  bool Value(double& value) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_HavePrevious || !m_HaveCurrent) return false;
    double counted = m_Current.first - m_Previous.first;
    double elapsedMs = static_cast<double>(m_Current.tickMs - m_Previous.tickMs);
    switch (m_Kind) {
      case eCounterKind::Processor: {
        double ticks = m_Current.second - m_Previous.second;
        if (ticks <= 0) return false;
        value = std::clamp(counted * 100.0 / ticks, 0.0, 100.0);
        return true;
      }
      case eCounterKind::Disk:
        if (elapsedMs <= 0 || m_Current.second <= 0) return false;
        value = std::clamp(counted * 100.0 / (elapsedMs * m_Current.second), 0.0, 100.0);
        return true;
      case eCounterKind::Received:
      case eCounterKind::Sent:
        if (elapsedMs <= 0) return false;
        value = std::max(0.0, counted * 1000.0 / elapsedMs);
        return true;
    }
    return false;
  }

 private:
  eCounterKind m_Kind;
  std::string m_Instance;
  std::mutex m_Lock;
  cSample m_Previous;
  cSample m_Current;
  bool m_HavePrevious = false;
  bool m_HaveCurrent = false;
};

class cQuery : public platform::cKernelObject {
 public:
  void Add(std::shared_ptr<cCounter> counter) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Counters.push_back(std::move(counter));
  }
  void Collect() {
    std::lock_guard<std::mutex> guard(m_Lock);
    for (auto& counter : m_Counters) counter->Collect();
  }

 private:
  std::mutex m_Lock;
  std::vector<std::shared_ptr<cCounter>> m_Counters;
};

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The counter a path names, or null.
std::shared_ptr<cCounter> CounterForPath(const std::string& path) {
  if (path == kProcessorPath) return std::make_shared<cCounter>(eCounterKind::Processor, "");
  if (path == kDiskPath) return std::make_shared<cCounter>(eCounterKind::Disk, "");
  if (path.rfind(kNetworkPrefix, 0) != 0) return nullptr;
  for (const auto& [suffix, kind] :
       {std::pair<const char*, eCounterKind>{kReceivedSuffix, eCounterKind::Received},
        {kSentSuffix, eCounterKind::Sent}}) {
    if (!EndsWith(path, suffix)) continue;
    const size_t start = sizeof(kNetworkPrefix) - 1;
    return std::make_shared<cCounter>(
        kind, path.substr(start, path.size() - start - std::strlen(suffix)));
  }
  return nullptr;
}

// Copies NUL-separated names ending with an empty one, or reports the size needed.
bool FillList(const std::vector<std::string>& names, LPSTR list, LPDWORD size) {
  std::string joined;
  for (const auto& name : names) joined += name + '\0';
  joined += '\0';
  const DWORD needed = static_cast<DWORD>(joined.size());
  bool fits = list && *size >= needed;
  if (fits) std::memcpy(list, joined.data(), needed);
  *size = needed;
  return fits;
}

bool ReadAdapterOverride(std::vector<platform::cAdapter>& adapters) {
  std::ifstream file(platform::StateFolder() + "/adapters.txt");
  if (!file) return false;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    platform::cAdapter adapter;
    std::string state, hardware, address, word, gateway;
    if (!(fields >> adapter.name >> state >> hardware >> address)) continue;
    adapter.up = state == "up";
    if (hardware != "-") adapter.hardwareAddress = hardware;
    if (address != "-") adapter.unicastAddresses.push_back(address);
    while (fields >> word >> gateway) {
      if (word == "gateway") adapter.gateways.push_back(gateway);
    }
    adapters.push_back(adapter);
  }
  return true;
}

// Default gateways by interface, from the routing table.
std::map<std::string, std::vector<std::string>> ReadGateways() {
  std::map<std::string, std::vector<std::string>> gateways;
  std::ifstream file(ProcFile("net/route"));
  std::string line;
  std::getline(file, line);  // header
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags;
    if (!(fields >> name >> destination >> gateway >> flags)) continue;
    const unsigned long kRouteViaGateway = 0x2;
    if (destination != "00000000" || !(std::stoul(flags, nullptr, 16) & kRouteViaGateway)) continue;
    in_addr address{};
    address.s_addr = static_cast<in_addr_t>(std::stoul(gateway, nullptr, 16));
    gateways[name].push_back(inet_ntoa(address));
  }
  return gateways;
}

}  // namespace

void GetSystemInfo(SYSTEM_INFO* info) {
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
}

void GetSystemTimeAsFileTime(FILETIME* time) {
  auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  ToFileTime(static_cast<uint64_t>(since1970.count() / 100) + kFileTimeEpochOffset, time);
}

BOOL GetProcessTimes(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel,
                     FILETIME* user) {
  rusage usage{};
  if (process != GetCurrentProcess() || !kernel || !user || getrusage(RUSAGE_SELF, &usage) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (creation) ToFileTime(0, creation);
  if (exit) ToFileTime(0, exit);
  ToFileTime(TimevalTo100ns(usage.ru_stime), kernel);
  ToFileTime(TimevalTo100ns(usage.ru_utime), user);
  return TRUE;
}

BOOL GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, DWORD size) {
  if (process != GetCurrentProcess() || !counters || size < sizeof(PROCESS_MEMORY_COUNTERS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memset(counters, 0, sizeof(*counters));
  counters->cb = sizeof(*counters);
  const std::string status = "/proc/self/status";
  uint64_t privateBytes = 0;
  bool read = ReadKilobytes(status, "VmRSS", counters->WorkingSetSize);
  ReadKilobytes(status, "VmHWM", counters->PeakWorkingSetSize);
  if (!ReadKilobytes(status, "RssAnon", privateBytes)) privateBytes = counters->WorkingSetSize;
  counters->PagefileUsage = privateBytes;
  counters->PeakPagefileUsage = std::max(privateBytes, counters->PeakWorkingSetSize);
  if (!read) SetLastError(ERROR_INVALID_FUNCTION);
  return read ? TRUE : FALSE;
}

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status) {
  uint64_t total = 0, available = 0;
  const std::string meminfo = ProcFile("meminfo");
  if (!status || !ReadKilobytes(meminfo, "MemTotal", total) ||
      !ReadKilobytes(meminfo, "MemAvailable", available) || total == 0) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  status->ullTotalPhys = total;
  status->ullAvailPhys = available;
  status->dwMemoryLoad = static_cast<DWORD>(100 - available * 100 / total);
  uint64_t swapTotal = 0, swapFree = 0;
  ReadKilobytes(meminfo, "SwapTotal", swapTotal);
  ReadKilobytes(meminfo, "SwapFree", swapFree);
  status->ullTotalPageFile = total + swapTotal;
  status->ullAvailPageFile = available + swapFree;
  status->ullTotalVirtual = status->ullTotalPageFile;
  status->ullAvailVirtual = status->ullAvailPageFile;
  status->ullAvailExtendedVirtual = 0;
  return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR folder, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree) {
  struct statvfs disk {};
  std::string path = folder ? platform::MapPath(folder) : ".";
  if (statvfs(path.c_str(), &disk) != 0) {
    SetLastError(platform::ErrorFromErrno(errno));
    return FALSE;
  }
  if (freeToCaller) freeToCaller->QuadPart = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  if (total) total->QuadPart = static_cast<uint64_t>(disk.f_blocks) * disk.f_frsize;
  if (totalFree) totalFree->QuadPart = static_cast<uint64_t>(disk.f_bfree) * disk.f_frsize;
  return TRUE;
}

PDH_STATUS PdhOpenQueryA(LPCSTR /*dataSource*/, DWORD_PTR /*userData*/, PDH_HQUERY* query) {
  if (!query) return PDH_INVALID_ARGUMENT;
  *query = platform::RegisterHandle(std::make_shared<cQuery>());
  return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR /*userData*/,
                          PDH_HCOUNTER* counter) {
  auto owner = platform::LookupHandleAs<cQuery>(query);
  if (!owner) return PDH_INVALID_HANDLE;
  if (!counterPath || !counter) return PDH_INVALID_ARGUMENT;
  auto made = CounterForPath(counterPath);
  if (!made) return PDH_CSTATUS_NO_COUNTER;
  owner->Add(made);
  *counter = platform::RegisterHandle(made);
  return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY query) {
  auto owner = platform::LookupHandleAs<cQuery>(query);
  if (!owner) return PDH_INVALID_HANDLE;
  owner->Collect();
  return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                       PDH_FMT_COUNTERVALUE* value) {
  auto rate = platform::LookupHandleAs<cCounter>(counter);
  if (!rate) return PDH_INVALID_HANDLE;
  if (!value) return PDH_INVALID_ARGUMENT;
  if (type) *type = 0;
  double reading = 0;
  if (!rate->Value(reading)) {
    value->CStatus = static_cast<DWORD>(PDH_INVALID_DATA);
    return PDH_INVALID_DATA;
  }
  value->CStatus = PDH_CSTATUS_VALID_DATA;
  if (format & PDH_FMT_LONG) {
    value->longValue = static_cast<LONG>(reading);
  } else {
    value->doubleValue = reading;
  }
  return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhEnumObjectItemsA(LPCSTR /*dataSource*/, LPCSTR /*machine*/, LPCSTR object,
                               LPSTR counterList, LPDWORD counterListSize, LPSTR instanceList,
                               LPDWORD instanceListSize, DWORD /*detailLevel*/, DWORD /*flags*/) {
  if (!object || std::strcmp(object, kNetworkObject) != 0) return PDH_CSTATUS_NO_OBJECT;
  if (!counterListSize || !instanceListSize) return PDH_INVALID_ARGUMENT;
  std::vector<std::string> instances;
  for (const auto& device : ReadNetworkDevices()) instances.push_back(device.first);
  bool countersFit =
      FillList({"Bytes Received/sec", "Bytes Sent/sec"}, counterList, counterListSize);
  bool instancesFit = FillList(instances, instanceList, instanceListSize);
  return countersFit && instancesFit ? PDH_CSTATUS_VALID_DATA : PDH_MORE_DATA;
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY query) {
  return platform::LookupHandleAs<cQuery>(query) && CloseHandle(query) ? PDH_CSTATUS_VALID_DATA
                                                                       : PDH_INVALID_HANDLE;
}

namespace platform {

bool ListAdapters(std::vector<cAdapter>& adapters) {
  adapters.clear();
  if (ReadAdapterOverride(adapters)) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  auto gateways = ReadGateways();
  auto adapterNamed = [&](const std::string& name) -> cAdapter& {
    for (auto& adapter : adapters) {
      if (adapter.name == name) return adapter;
    }
    adapters.push_back(cAdapter());
    adapters.back().name = name;
    adapters.back().gateways = gateways[name];
    return adapters.back();
  };
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_name || !entry->ifa_addr) continue;
    cAdapter& adapter = adapterNamed(entry->ifa_name);
    adapter.up = (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_RUNNING);
    bool loopback = entry->ifa_flags & IFF_LOOPBACK;
    if (entry->ifa_addr->sa_family == AF_PACKET && !loopback) {
      auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      adapter.hardwareAddress.assign(reinterpret_cast<const char*>(link->sll_addr),
                                     link->sll_halen);
    } else if (entry->ifa_addr->sa_family == AF_INET) {
      char text[INET_ADDRSTRLEN];
      auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)))
        adapter.unicastAddresses.push_back(text);
    }
  }
  freeifaddrs(list);
  return true;
}

std::string HostName() {
  std::ifstream file(StateFolder() + "/hostname");
  std::string name;
  if (!std::getline(file, name)) {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof(buffer) - 1) != 0) return {};
    name = buffer;
  }
  return name.substr(0, name.find('.'));
}

}  // namespace platform
