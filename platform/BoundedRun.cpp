#include "platform/BoundedRun.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

namespace {

constexpr auto kLookInterval = std::chrono::milliseconds(5);
// After this many looks without bounded work (a second), the watch sleeps until a run starts.
constexpr int kQuietLooksBeforeSleep = 200;

int AbandonSignal() { return SIGRTMIN + 2; }

// The handler leaves through siglongjmp. The kernel calls it with the signal mask as it was
// (SA_NODEFER), so the jump need not restore the mask, which would cost a system call at every
// run; ThreadSanitizer calls it from its own code with every signal blocked.
#if defined(__SANITIZE_THREAD__)
constexpr int kRestoreMask = 1;
#else
constexpr int kRestoreMask = 0;
#endif

// A thread's bounded work: the number of its run and what the run is at, in one word so that the
// thread and the watch can each move it on only from what they saw.
constexpr uint64_t kPhase = 3;
constexpr uint64_t kIdle = 0;
constexpr uint64_t kRunning = 1;
constexpr uint64_t kAbandoning = 2;

struct cRunner {
  std::atomic<uint64_t> state{kIdle};
  std::atomic<int64_t> budgetNs{0};
  pthread_t thread{};
  clockid_t clock{};
  sigjmp_buf* resume = nullptr;  // where the current run began
  volatile sig_atomic_t holds = 0;
  volatile sig_atomic_t deferred = 0;
  // The watch's own: the run it saw last, and the thread's processor time when it first saw it.
  uint64_t seenState = kIdle;
  int64_t seenCpuNs = 0;
};

// Read by the signal handler, so a plain pointer: the registration below owns the runner.
thread_local cRunner* t_runner = nullptr;

int64_t CpuNs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void OnAbandonSignal(int) {
  cRunner* runner = t_runner;
  if (!runner || (runner->state.load() & kPhase) != kAbandoning) return;
  if (runner->holds > 0) {
    runner->deferred = 1;
    return;
  }
  siglongjmp(*runner->resume, 1);
}

class cWatch {
 public:
  // The one watch, or none when its thread cannot start (bounded work then runs unbounded). Never
  // destroyed: threads with bounded work may outlive the process's static objects.
  static cWatch* Get() {
    static cWatch* const watch = Start();
    return watch;
  }

  void Add(cRunner* runner) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_runners.push_back(runner);
  }
  void Remove(cRunner* runner) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_runners.erase(std::find(m_runners.begin(), m_runners.end(), runner));
  }

  // Told by a thread right after it marked a run as started, so that a sleeping watch looks again.
  void RunStarted() {
    if (!m_asleep.load()) return;
    HoldAbandonment();  // the lock must never be left held
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_asleep.store(false);
    }
    m_wake.notify_one();
    ReleaseAbandonment();
  }

 private:
  static cWatch* Start() {
    struct sigaction action {};
    action.sa_handler = OnAbandonSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NODEFER | SA_RESTART;
    sigaction(AbandonSignal(), &action, nullptr);
    try {
      auto* watch = new cWatch;
      std::thread(&cWatch::Watch, watch).detach();
      return watch;
    } catch (const std::system_error&) {
      return nullptr;
    }
  }

  void Watch() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (int quietLooks = 0;;) {
      m_wake.wait_for(lock, kLookInterval);
      if (Look()) {
        quietLooks = 0;
        continue;
      }
      if (++quietLooks < kQuietLooksBeforeSleep) continue;
      // A run that starts now either sees the watch asleep and wakes it, or is seen by this look.
      m_asleep.store(true);
      if (!Look()) m_wake.wait(lock, [this] { return !m_asleep.load(); });
      m_asleep.store(false);
      quietLooks = 0;
    }
  }

  // Abandons every run that has used its budget since the watch first saw it; whether any runs.
  bool Look() {
    bool anyRuns = false;
    for (cRunner* runner : m_runners) {
      uint64_t state = runner->state.load();
      if ((state & kPhase) != kRunning) continue;
      anyRuns = true;
      const int64_t used = CpuNs(runner->clock);
      if (state != runner->seenState) {
        runner->seenState = state;
        runner->seenCpuNs = used;
      } else if (used - runner->seenCpuNs >= runner->budgetNs.load(std::memory_order_relaxed) &&
                 runner->state.compare_exchange_strong(state, (state & ~kPhase) | kAbandoning)) {
        pthread_kill(runner->thread, AbandonSignal());
      }
    }
    return anyRuns;
  }

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::vector<cRunner*> m_runners;
  std::atomic<bool> m_asleep{false};
};

// Makes the thread's runner at its first bounded run and takes it away when the thread ends.
class cRunnerOfThread {
 public:
  cRunnerOfThread() {
    cWatch* watch = cWatch::Get();
    if (!watch) return;
    auto* runner = new cRunner;
    runner->thread = pthread_self();
    if (pthread_getcpuclockid(runner->thread, &runner->clock) != 0) {
      delete runner;
      return;
    }
    sigset_t abandon;
    sigemptyset(&abandon);
    sigaddset(&abandon, AbandonSignal());
    pthread_sigmask(SIG_UNBLOCK, &abandon, nullptr);
    watch->Add(runner);
    t_runner = runner;
  }
  ~cRunnerOfThread() {
    if (!t_runner) return;
    cWatch::Get()->Remove(t_runner);
    delete t_runner;
    t_runner = nullptr;
  }
  cRunnerOfThread(const cRunnerOfThread&) = delete;
  cRunnerOfThread& operator=(const cRunnerOfThread&) = delete;
};

cRunner* ThreadsRunner() {
  if (!t_runner) {
    thread_local cRunnerOfThread registration;
  }
  return t_runner;
}

// Nothing that needs destroying may live in this frame: the signal leaves the work and comes back
// here.
int RunWatched(cRunner& runner, int (*work)(void*), void* context, std::chrono::milliseconds budget,
               int abandoned) {
  const uint64_t run = (runner.state.load(std::memory_order_relaxed) | kPhase) + 1;
  runner.budgetNs.store(std::chrono::nanoseconds(budget).count(), std::memory_order_relaxed);
  sigjmp_buf resume;
  runner.resume = &resume;
  if (sigsetjmp(resume, kRestoreMask) != 0) {
    runner.holds = 0;
    runner.deferred = 0;
    runner.state.store(run | kIdle);
    return abandoned;
  }
  runner.state.store(run | kRunning);
  cWatch::Get()->RunStarted();
  const int result = work(context);
  uint64_t running = run | kRunning;
  if (!runner.state.compare_exchange_strong(running, run | kIdle)) {
    // The watch is abandoning the run just as it ended: its signal is on its way and comes back
    // above, rather than reaching whatever the thread does next.
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return result;
}

}  // namespace

int RunBounded(int (*work)(void* context), void* context, std::chrono::milliseconds budget, int abandoned) {
  cRunner* runner = ThreadsRunner();
  if (!runner || (runner->state.load(std::memory_order_relaxed) & kPhase) != kIdle) return work(context);
  return RunWatched(*runner, work, context, budget, abandoned);
}

void HoldAbandonment() {
  if (cRunner* runner = t_runner) {
    runner->holds = runner->holds + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
}

void ReleaseAbandonment() {
  cRunner* runner = t_runner;
  if (!runner) return;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  runner->holds = runner->holds - 1;
  if (runner->holds == 0 && runner->deferred) {
    runner->deferred = 0;
    siglongjmp(*runner->resume, 1);
  }
}

}  // namespace platform
