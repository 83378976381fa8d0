#include "platform/Clock.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace platform {
namespace {

cSystemClock systemClock;
std::atomic<cClock*> currentClock{&systemClock};

}  // namespace

std::tm cClock::LocalTime() const {
  std::time_t now = static_cast<std::time_t>(Now());
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

uint64_t cSystemClock::TickMs() const {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t cSystemClock::Now() const {
  using namespace std::chrono;
  return static_cast<int64_t>(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

void cManualClock::Advance(uint64_t milliseconds) {
  m_tick += milliseconds;
  uint64_t total = m_advancedMs.fetch_add(milliseconds) + milliseconds;
  uint64_t wholeSeconds = total / 1000 - (total - milliseconds) / 1000;
  m_now += static_cast<int64_t>(wholeSeconds);
}

uint32_t MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  using namespace std::chrono;
  const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
  return left > 0 ? static_cast<uint32_t>(std::min<int64_t>(left, UINT32_MAX - 1)) : 0;
}

cClock& Clock() { return *currentClock.load(); }

void SetClock(cClock* clock) { currentClock.store(clock ? clock : &systemClock); }

}  // namespace platform

uint64_t GetTickCount64() { return platform::Clock().TickMs(); }

uint32_t GetTickCount() { return static_cast<uint32_t>(platform::Clock().TickMs()); }
