#pragma once
// The host's facts for the management server (processor count, host name, address, operating
// system, release and installed updates), written into the agent-information record, and the
// performance-counter query that the resource report reads.
#include <cstdint>

#include "platform/SystemCounters.h"

class cAgentInfo;

constexpr char kOsVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr char kProcessorTimeCounter[] = "\\Processor(_Total)\\% Processor Time";
constexpr char kDiskTimeCounter[] = "\\PhysicalDisk(_Total)\\% Disk Time";

class cSystemInfo {
 public:
  // Fills the object and the record's host fields. Always 0.
  int Init(cAgentInfo* record);
  // The record's address from the adapters: 0 none suitable (unchanged), 1 from an adapter
  // without a gateway, 2 from one with a gateway.
  int UpdateIpAddr();
  // Refreshes the release id and the installed updates: how many of the two changed.
  int UpdateOsPatchInfo();

  cAgentInfo* m_Record = nullptr;
  PDH_HQUERY m_Query = nullptr;
  PDH_HCOUNTER m_CpuCounter = nullptr;
  PDH_HCOUNTER m_DiskCounter = nullptr;
  PDH_HCOUNTER m_RxCounter = nullptr;  // none when no network instance was found
  PDH_HCOUNTER m_TxCounter = nullptr;
  HANDLE m_Process = nullptr;
  uint32_t m_CpuCount = 1;
  // Baselines of the own-use watchdog, in 100-nanosecond units.
  uint64_t m_PrevWallTime = 0;
  uint64_t m_PrevKernelTime = 0;
  uint64_t m_PrevUserTime = 0;

 private:
  void ReadOsVersion();
  void OpenCounters();
};

// A file time as one number of 100-nanosecond units.
uint64_t FileTimeValue(const FILETIME& time);
