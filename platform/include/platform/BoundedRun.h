#pragma once
// Work that runs for a very long time on some inputs (a regular expression's match over a long
// value) runs on the calling thread under a bound of that thread's processor time. A watch looks at
// every bounded run every few milliseconds; once a run has used its budget, the watch abandons it
// where it stands: a signal takes the thread back to where the run began.
//
// So only work that can be left anywhere may run bounded: it takes no lock, keeps nothing that
// outlives it, calls nothing that does, or holds the abandonment off while it does.
#include <chrono>

namespace platform {

// The work's result, or `abandoned` once the work has used at least `budget` of the thread's
// processor time; it is left within a few milliseconds more. Bounded work that starts bounded work
// runs it as part of its own run.
int RunBounded(int (*work)(void* context), void* context, std::chrono::milliseconds budget, int abandoned);

// Between the two calls, bounded work on this thread is not abandoned: an abandonment that falls due
// meanwhile takes place at the release. The calls nest, and outside bounded work they do nothing.
void HoldAbandonment();
void ReleaseAbandonment();

}  // namespace platform
