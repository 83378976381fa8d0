#pragma once
// Host facts and resource counters: processor count, process times, memory, disk space,
// performance counters, network adapters and the host name, as Windows reports them.
//
// Test overrides in the state folder (Files.h StateFolder()):
// - "proc/": when it exists, "stat", "diskstats", "net/dev" and "meminfo" are read there instead
//   of the host's /proc;
// - "adapters.txt": the adapter list, one adapter a line ("#" starts a comment):
//     <name> <up|down> <hardware address or -> <IPv4 address or -> [gateway <IPv4 address>]
// - "hostname": the host name (first line).
#include <string>
#include <vector>

#include "platform/Errors.h"

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SYSTEM_INFO {
  DWORD dwNumberOfProcessors;
};
void GetSystemInfo(SYSTEM_INFO* info);

// The current time in 100-nanosecond units since 1601-01-01 UTC.
void GetSystemTimeAsFileTime(FILETIME* time);
// Kernel and user times of the calling process (only GetCurrentProcess() is known), in
// 100-nanosecond units; creation and exit may be null.
BOOL GetProcessTimes(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel,
                     FILETIME* user);

struct PROCESS_MEMORY_COUNTERS {
  DWORD cb;
  DWORD PageFaultCount;
  uint64_t PeakWorkingSetSize;
  uint64_t WorkingSetSize;
  uint64_t QuotaPeakPagedPoolUsage;
  uint64_t QuotaPagedPoolUsage;
  uint64_t QuotaPeakNonPagedPoolUsage;
  uint64_t QuotaNonPagedPoolUsage;
  uint64_t PagefileUsage;  // private bytes of the process
  uint64_t PeakPagefileUsage;
};
BOOL GetProcessMemoryInfo(HANDLE process, PROCESS_MEMORY_COUNTERS* counters, DWORD size);

struct MEMORYSTATUSEX {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  uint64_t ullTotalPhys;
  uint64_t ullAvailPhys;
  uint64_t ullTotalPageFile;
  uint64_t ullAvailPageFile;
  uint64_t ullTotalVirtual;
  uint64_t ullAvailVirtual;
  uint64_t ullAvailExtendedVirtual;
};
BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status);

union ULARGE_INTEGER {
  uint64_t QuadPart;
};
// Space of the disk that holds a folder (a Windows path; null for the current folder).
BOOL GetDiskFreeSpaceExA(LPCSTR folder, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree);

// Performance counters. Known paths: "\Processor(_Total)\% Processor Time",
// "\PhysicalDisk(_Total)\% Disk Time" and "\Network Interface(<instance>)\Bytes Received/sec" or
// "...\Bytes Sent/sec" for an instance that "Network Interface" lists. Every one of them is a rate:
// it has a value only after two collections.
typedef LONG PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;
typedef uintptr_t DWORD_PTR;

constexpr PDH_STATUS PDH_CSTATUS_VALID_DATA = 0;
constexpr PDH_STATUS PDH_MORE_DATA = static_cast<PDH_STATUS>(0x800007D2);
constexpr PDH_STATUS PDH_INVALID_HANDLE = static_cast<PDH_STATUS>(0xC0000BBC);
constexpr PDH_STATUS PDH_INVALID_ARGUMENT = static_cast<PDH_STATUS>(0xC0000BBD);
constexpr PDH_STATUS PDH_CSTATUS_NO_OBJECT = static_cast<PDH_STATUS>(0xC0000BB8);
constexpr PDH_STATUS PDH_CSTATUS_NO_COUNTER = static_cast<PDH_STATUS>(0xC0000BB9);
constexpr PDH_STATUS PDH_INVALID_DATA = static_cast<PDH_STATUS>(0xC0000BC6);
constexpr PDH_STATUS PDH_NO_DATA = static_cast<PDH_STATUS>(0x800007D5);

constexpr DWORD PDH_FMT_LONG = 0x100;
constexpr DWORD PDH_FMT_DOUBLE = 0x200;
constexpr DWORD PERF_DETAIL_WIZARD = 400;

struct PDH_FMT_COUNTERVALUE {
  DWORD CStatus;
  union {
    LONG longValue;
    double doubleValue;
  };
};

PDH_STATUS PdhOpenQueryA(LPCSTR dataSource, DWORD_PTR userData, PDH_HQUERY* query);
PDH_STATUS PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR userData,
                          PDH_HCOUNTER* counter);
// Takes one sample of every counter of the query.
PDH_STATUS PdhCollectQueryData(PDH_HQUERY query);
// The rate between the last two samples; PDH_INVALID_DATA before the second one.
PDH_STATUS PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                       PDH_FMT_COUNTERVALUE* value);
// Lists of NUL-separated names ending with an empty name. Null buffers or sizes that are too small
// give PDH_MORE_DATA with the sizes needed. Only the object "Network Interface" is known.
PDH_STATUS PdhEnumObjectItemsA(LPCSTR dataSource, LPCSTR machine, LPCSTR object, LPSTR counterList,
                               LPDWORD counterListSize, LPSTR instanceList,
                               LPDWORD instanceListSize, DWORD detailLevel, DWORD flags);
PDH_STATUS PdhCloseQuery(PDH_HQUERY query);

namespace platform {

// A network adapter as the adapter list reports it (IPv4 only).
struct cAdapter {
  std::string name;
  bool up = false;
  std::string hardwareAddress;                // raw bytes; empty for loopback and tunnels
  std::vector<std::string> unicastAddresses;  // dotted IPv4 texts, first one first
  std::vector<std::string> gateways;          // dotted IPv4 texts
};
bool ListAdapters(std::vector<cAdapter>& adapters);

// The host's name without its domain, empty when unknown.
std::string HostName();

}  // namespace platform
