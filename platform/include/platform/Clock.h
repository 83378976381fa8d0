#pragma once
// An injectable clock: the system clock by default, a manual one in tests.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace platform {

class cClock {
 public:
  virtual ~cClock() = default;
  // Milliseconds from an arbitrary start, never going back.
  virtual uint64_t TickMs() const = 0;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t Now() const = 0;
  // The local calendar time of Now() (for hourly file names).
  std::tm LocalTime() const;
};

class cSystemClock : public cClock {
 public:
  uint64_t TickMs() const override;
  int64_t Now() const override;
};

// Stands still until a test moves it.
class cManualClock : public cClock {
 public:
  explicit cManualClock(int64_t now = 1700000000, uint64_t tickMs = 0) : m_now(now), m_tick(tickMs) {}
  uint64_t TickMs() const override { return m_tick.load(); }
  int64_t Now() const override { return m_now.load(); }
  // Moves both the tick and the calendar time forward.
  void Advance(uint64_t milliseconds);
  void SetNow(int64_t now) { m_now.store(now); }

 private:
  std::atomic<int64_t> m_now;
  std::atomic<uint64_t> m_tick;
  std::atomic<uint64_t> m_advancedMs{0};
};

// Whole milliseconds left until a deadline of the steady clock, rounded up, so that a wait for that
// long never ends before the deadline; 0 once it has passed.
uint32_t MillisecondsUntil(std::chrono::steady_clock::time_point deadline);

// The clock in use (the system clock unless one is set).
cClock& Clock();
// Makes clock the clock in use; null restores the system clock. The caller keeps it alive.
void SetClock(cClock* clock);

}  // namespace platform

// Windows' tick counts, from the clock in use.
uint64_t GetTickCount64();
uint32_t GetTickCount();
