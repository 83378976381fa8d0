#pragma once
// Polls until a condition holds, for tests that wait on another thread or process.
#include <chrono>
#include <thread>

// A time-out that a sanitizer build of the programs meets on a machine whose every core is busy.
constexpr int kLongWaitMs = 60000;

// Waits until done() holds, polling; false when timeoutMs pass first.
template <class Done>
bool WaitUntil(int timeoutMs, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
