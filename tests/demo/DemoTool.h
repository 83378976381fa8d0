#pragma once
// What the demonstration's programs share: they work only in a machine root named by
// VARLO_ROOT (never in the default one), they tell what happens on standard output, and they run
// until interrupted.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace demo {

inline std::atomic<bool> g_stopRequested{false};

inline void StopOnSignals() {
  const auto request = [](int) { g_stopRequested = true; };
  std::signal(SIGINT, request);
  std::signal(SIGTERM, request);
}

// Waits up to milliseconds; false once a stop has been asked for.
inline bool Pause(int milliseconds) {
  constexpr int kStepMs = 100;
  for (int waited = 0; waited < milliseconds && !g_stopRequested; waited += kStepMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  return !g_stopRequested;
}

// True when VARLO_ROOT names a machine root; otherwise says why the program refuses.
inline bool MachineRootNamed(const char* program) {
  const char* root = std::getenv("VARLO_ROOT");
  if (root && *root) return true;
  std::fprintf(stderr, "%s: VARLO_ROOT is not set; set it to the machine root to work in\n",
               program);
  return false;
}

// One line of what happens, marked with who did it ("[server]", "[host]").
inline void Tell(const char* mark, const char* who, const std::string& text) {
  std::printf("%s %-10s %s\n", mark, who, text.c_str());
  std::fflush(stdout);
}

}  // namespace demo
