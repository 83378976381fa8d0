#pragma once
// What the running process uses, as the service's own watchdog reads it: processor time of all
// its threads and its resident size.
#include <cstdint>

#include "platform/Shutdown.h"
#include "platform/SystemCounters.h"

// User and kernel time of the whole process, in seconds.
inline double ProcessCpuSeconds() {
  FILETIME kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), nullptr, nullptr, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) / 1e7;
  };
  return ticks(kernel) + ticks(user);
}

// Resident size in MiB.
inline double ResidentMiB() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<double>(counters.WorkingSetSize) / (1024.0 * 1024.0);
}
