// The pool: threads started as calls ask for them (never more than
// kMostPoolThreads), each waiting for a job, taking ranges of the first job
// queued until none is left, and going back to wait. A job is one call's
// work: its ranges are taken in turn through one counter, by the calling
// thread and by as many of the pool's threads as the call asked for.
#include "worker_pool.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#if defined(__linux__)
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace pyhost {

namespace {

// A condition variable over the pool's std::mutex, on the C library's own
// (std::condition_variable::wait is a newer symbol of the C++ library than
// the extension otherwise needs).
class Signal {
public:
    Signal() { pthread_cond_init(&cond_, nullptr); }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    template <typename Ready>
    void wait(std::unique_lock<std::mutex>& lock, Ready ready) {
        while (!ready()) pthread_cond_wait(&cond_, lock.mutex()->native_handle());
    }
    void notify_one() { pthread_cond_signal(&cond_); }
    void notify_all() { pthread_cond_broadcast(&cond_); }

private:
    pthread_cond_t cond_;
};

struct Job {
    const std::function<void(int64_t, int64_t)>* body;
    int64_t count;
    int64_t range;   // elements per range (the last one may have fewer)
    int64_t ranges;
    std::atomic<int64_t> next{0};       // the next range to take
    std::atomic<bool> failed{false};    // set once, by the range that threw first
    std::exception_ptr error;           // written by that range alone
    // Guarded by the pool's mutex.
    int helpers_wanted = 0;
    int helpers_joined = 0;
    int running = 0;   // pool threads inside take_ranges
};

// Takes ranges of the job until none is left (or one failed).
void take_ranges(Job& job) {
    for (;;) {
        if (job.failed.load(std::memory_order_relaxed)) return;
        const int64_t k = job.next.fetch_add(1, std::memory_order_relaxed);
        if (k >= job.ranges) return;
        const int64_t first = k * job.range;
        const int64_t end = std::min(job.count, first + job.range);
        try {
            (*job.body)(first, end);
        } catch (...) {
            bool expected = false;
            if (job.failed.compare_exchange_strong(expected, true))
                job.error = std::current_exception();
        }
    }
}

// Where the pool's threads run. Where the system tells its scheduler nothing
// of which processors share a cache (a virtual machine often does not), the
// scheduler wakes a thread on the processor it last ran on, or on its
// waker's, and moves it on only when a clock tick finds two threads queued
// on one processor. A pool thread woken onto its caller's processor then
// shares it, milliseconds at a time, while another processor idles: after a
// pause, a call on two threads took about as long as on one. So before it
// wakes them, a caller gives the pool's idle threads the processors it may
// run on itself but its own: a woken thread then starts on another one at
// once. The sets stay within the caller's own, so a caller confined to
// some processors keeps the threads it wakes there.
#if defined(__linux__)
struct Placement {
    bool known = false;
    cpu_set_t processors;
};

// The processors the caller may run on, but for the one it runs on where
// there are others; unknown where the system does not say.
Placement away_from_caller() {
    Placement away;
    if (sched_getaffinity(0, sizeof away.processors, &away.processors) != 0) return away;
    away.known = true;
    const int here = sched_getcpu();
    if (here >= 0 && here < CPU_SETSIZE && CPU_ISSET(here, &away.processors) &&
        CPU_COUNT(&away.processors) > 1)
        CPU_CLR(here, &away.processors);
    return away;
}

bool same_placement(const Placement& a, const Placement& b) {
    return a.known && b.known && CPU_EQUAL(&a.processors, &b.processors);
}

// The calling thread's task, as the system's scheduling calls name it. (By
// the task rather than pthread_setaffinity_np, whose symbol is newer in the C
// library than the extension otherwise needs.)
long this_task() { return syscall(SYS_gettid); }

bool place(long task, const Placement& where) {
    return task > 0 && sched_setaffinity(static_cast<pid_t>(task), sizeof where.processors,
                                         &where.processors) == 0;
}
#else
struct Placement {
    bool known = false;
};
Placement away_from_caller() { return {}; }
bool same_placement(const Placement&, const Placement&) { return false; }
long this_task() { return 0; }
bool place(long, const Placement&) { return false; }
#endif

struct Pool {
    std::mutex mutex;
    Signal work;       // a job was queued
    Signal finished;   // a pool thread left a job
    std::deque<Job*> queue;             // jobs still wanting helpers, oldest first
    // The pool's threads, guarded by mutex: each one's task (0 until it has
    // started), whether it is taking ranges of a job, and the processors it
    // was last given.
    struct Member {
        long task;
        bool on_job;
        Placement placed;
    };
    std::vector<Member> members;

    void serve(size_t member) {
        std::unique_lock<std::mutex> lock(mutex);
        members[member].task = this_task();
        for (;;) {
            work.wait(lock, [this] { return !queue.empty(); });
            Job* job = queue.front();
            // A job whose ranges are all taken needs no more helpers.
            const bool taken = job->next.load(std::memory_order_relaxed) >= job->ranges;
            if (taken || ++job->helpers_joined >= job->helpers_wanted) queue.pop_front();
            if (taken) continue;
            ++job->running;
            members[member].on_job = true;
            lock.unlock();
            take_ranges(*job);
            lock.lock();
            members[member].on_job = false;
            if (--job->running == 0) finished.notify_all();
        }
    }

    // Starts threads up to `wanted` (at most kMostPoolThreads); where the
    // system starts no more, the pool goes on with those it has.
    void grow(int wanted) {
        const size_t most = static_cast<size_t>(std::max(0, std::min(wanted, kMostPoolThreads)));
        members.reserve(most);
        while (members.size() < most) {
            try {
                std::thread thread(&Pool::serve, this, members.size());
                members.push_back(Member{0, false, Placement{}});
                thread.detach();
            } catch (const std::system_error&) {
                return;
            }
        }
    }

    int threads() const { return static_cast<int>(members.size()); }

    // Places the threads not on a job, any of which the next signal may
    // wake; those on other callers' jobs stay where they run, and one not
    // yet started keeps the affinity of the caller that made it. A thread
    // already placed so is left alone, so a caller that stays on its
    // processor makes no system call for it after the first.
    void place_idle(const Placement& where) {
        if (!where.known) return;
        for (Member& m : members)
            if (!m.on_job && !same_placement(m.placed, where) && place(m.task, where))
                m.placed = where;
    }
};

// The process's pool, made on first use and never destroyed: its threads wait
// on it until the process ends. A forked child forgets its parent's (whose
// threads it does not have) and makes its own when it needs one.
std::mutex pool_made;
Pool* pool = nullptr;

Pool& the_pool() {
    std::lock_guard<std::mutex> lock(pool_made);
    if (pool == nullptr) pool = new Pool;
    return *pool;
}

void before_fork() { pool_made.lock(); }
void after_fork_in_parent() { pool_made.unlock(); }
void after_fork_in_child() {
    pool = nullptr;   // the parent's pool stays behind, unused
    pool_made.unlock();
}

}  // namespace

void run_split(int threads, int64_t count, int64_t align,
               const std::function<void(int64_t, int64_t)>& body) {
    if (align < 1) align = 1;
    const int64_t units = (count + align - 1) / align;
    if (threads <= 1 || units <= 1) {
        body(0, count);
        return;
    }
    // A few ranges per thread, so that a thread slowed by others on its core
    // leaves its share to the rest.
    threads = static_cast<int>(std::min<int64_t>(threads, units));
    const int64_t ranges = std::min<int64_t>(units, int64_t{4} * threads);
    Job job;
    job.body = &body;
    job.count = count;
    job.range = (units + ranges - 1) / ranges * align;
    job.ranges = (count + job.range - 1) / job.range;
    Pool& p = the_pool();
    const Placement away = away_from_caller();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.grow(threads - 1);
        // No more helpers than the pool has threads (a job waiting for more
        // would stay queued until its caller took it back).
        job.helpers_wanted = std::min(threads - 1, p.threads());
        if (job.helpers_wanted > 0) {
            p.place_idle(away);
            p.queue.push_back(&job);
        }
    }
    if (job.helpers_wanted == 0) {   // the system started no thread
        take_ranges(job);
        if (job.error) std::rethrow_exception(job.error);
        return;
    }
    if (job.helpers_wanted == 1)
        p.work.notify_one();
    else
        p.work.notify_all();
    take_ranges(job);
    {
        std::unique_lock<std::mutex> lock(p.mutex);
        // No pool thread joins the job from here on.
        const auto queued = std::find(p.queue.begin(), p.queue.end(), &job);
        if (queued != p.queue.end()) p.queue.erase(queued);
        p.finished.wait(lock, [&job] { return job.running == 0; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

void forget_pool_in_forked_children() {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

}  // namespace pyhost
