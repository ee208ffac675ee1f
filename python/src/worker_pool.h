// The package's threads: one pool, started on the first call that asks for
// more than one thread, which splits a call's work into ranges. Every result
// element is computed on its own, so which thread computes it changes no bit.
#pragma once

#include <cstdint>
#include <functional>

namespace pyhost {

// The most threads of the pool: a call asking for more runs on these and on
// the calling thread.
constexpr int kMostPoolThreads = 64;

// Calls body(first, end) over ranges that together cover 0 .. count - 1 once,
// on `threads` threads at most: the calling thread and up to threads - 1 of
// the pool's. Range bounds are multiples of `align` (but for the last end,
// count). With threads <= 1, or count no more than `align`, the calling
// thread makes one call body(0, count) and no thread is started or woken.
//
// The calling thread takes ranges too, until none is left, and then waits for
// the pool's threads to finish theirs; so a call finishes even when the pool
// is busy with the calls of other threads (which it serves in turn). The
// first exception a range throws ends the ranges not yet started and is
// thrown here once the others have finished. body must touch no Python
// object: the pool's threads do not hold the interpreter lock.
void run_split(int threads, int64_t count, int64_t align,
               const std::function<void(int64_t, int64_t)>& body);

// Makes a process that forks after the pool started start a pool of its own
// when it needs one (its parent's threads do not run in it). Called once,
// when the extension is loaded.
void forget_pool_in_forked_children();

}  // namespace pyhost
