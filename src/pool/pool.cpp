// The worker pool: creation, the workers' loop, stealing, sleeping, the
// injector and the caller latches.  The outline (roles, invariants,
// lifetimes, the sleep handshake, fork) is at the top of pool.hpp.
#include "pool/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "pool/deque.hpp"

namespace lumora::pool {

namespace {

// An unsigned decimal integer that fits in 64 bits: digits only, one
// optional leading '+'.  Anything else (unset, empty, a lone '+', a '-', a
// blank, an overflow) is not a count.  Such text is ASCII, so a value that
// is not valid UTF-8 is never a count either.
std::optional<std::uint64_t> parse_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    const char* digit = text[0] == '+' ? text + 1 : text;
    if (*digit == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(*digit - '0');
        if (value > (UINT64_MAX - d) / 10) return std::nullopt;  // would not fit in 64 bits
        value = value * 10 + d;
    }
    return value;
}

}  // namespace

std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  long online_processors) noexcept {
    std::uint64_t chosen = 0;  // 0: the default
    if (const auto first = parse_count(rayon_num_threads)) {
        chosen = *first;  // 0 keeps the default and leaves the second variable unread
    } else if (const auto second = parse_count(rayon_rs_num_cpus)) {
        chosen = *second;
    }
    if (chosen == 0) chosen = online_processors > 0 ? static_cast<std::uint64_t>(online_processors) : 1;
    return chosen > max_thread_count ? max_thread_count : static_cast<std::size_t>(chosen);
}

namespace detail {

namespace {

// Rounds a worker spends looking for work (yielding between rounds) before
// it goes to sleep.
constexpr unsigned spin_rounds = 64;

}  // namespace

struct Pool;

class Worker {
public:
    Pool* pool = nullptr;     // written by the creator before the thread starts; read-only after
    pthread_t thread{};       // written by the creator; read by it only (joining on failure)
    WorkStealingDeque<Task> deque;  // owner: this worker; thieves: the others (deque.hpp)
    std::uint64_t random = 0;       // victim choice; this worker only
};

struct Pool {
    explicit Pool(std::size_t threads) : thread_count(threads), workers(new Worker[threads]) {}

    const std::size_t thread_count;          // T, fixed at creation
    const std::unique_ptr<Worker[]> workers;  // T records, fixed at creation

    // Injector: root jobs handed in by calling threads, first in, first out.
    std::mutex injector_mutex;
    Task* injector_head = nullptr;  // guarded by injector_mutex
    Task* injector_tail = nullptr;  // guarded by injector_mutex
    // Number of queued jobs.  Written under injector_mutex (seq_cst on
    // injection: store half of the sleep handshake); read without the lock,
    // as a hint by pop_injected and seq_cst by work_visible.
    std::atomic<std::size_t> injected{0};

    // Sleep: one mutex and condition variable for all idle workers.
    std::mutex sleep_mutex;
    std::condition_variable wake;
    std::uint64_t wake_epoch = 0;  // guarded by sleep_mutex; bumped by every wake-up
    bool stopping = false;         // guarded by sleep_mutex; set only when creation fails
    // Workers between announcing sleep (in sleep_until_woken) and leaving it.  Raised
    // with a seq_cst RMW by the sleeper, lowered relaxed; read seq_cst by
    // wakers (the load half of the handshake).
    std::atomic<std::size_t> sleepers{0};
};

namespace {

// ---- process state --------------------------------------------------------
// The once-guard of creation.  A plain pthread mutex so that the fork child
// handler can put it back to its initial state.
pthread_mutex_t creation_mutex = PTHREAD_MUTEX_INITIALIZER;
// The pool.  Written under creation_mutex (release, once) and by the fork
// child handler; read by any thread (acquire on the fast path).
std::atomic<Pool*> global_pool{nullptr};
// Creation failed for good in this process.  Guarded by creation_mutex;
// reset by the fork child handler.
bool creation_failed = false;
// The cause, valid when creation_failed.  Guarded by creation_mutex.
char creation_failure_cause[192] = {};
// The fork handler is registered at most once per process image; children
// inherit the registration, so this is never reset.  Guarded by
// creation_mutex.
bool fork_handler_registered = false;
// The worker record of the current thread, null outside the pool.  Written
// once by the worker itself at start.
thread_local Worker* this_worker = nullptr;

// Runs in the child of fork(), which has one thread: the pool's workers are
// gone, its mutexes may be held by threads that do not exist.  Only plain
// stores: the record is abandoned (leaked, never touched again), the guard
// is put back to its initial state, and the next call creates a fresh pool.
void forget_pool_in_child() noexcept {
    // relaxed: the child is single-threaded here.
    global_pool.store(nullptr, std::memory_order_relaxed);
    creation_failed = false;
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    std::memcpy(&creation_mutex, &fresh, sizeof fresh);
}

// ---- waking and sleeping --------------------------------------------------

// Wakes one sleeper (new work) or all (a join finished: its owner may be any
// of them), if any sleeps.
void wake_sleepers(Pool& pool, bool all) noexcept {
    // seq_cst: the load half of the handshake, after the publisher's seq_cst
    // store; pairs with the seq_cst fetch_add in sleep_until_woken.
    if (pool.sleepers.load(std::memory_order_seq_cst) == 0) return;
    {
        std::lock_guard lock(pool.sleep_mutex);
        ++pool.wake_epoch;
    }
    if (all) {
        pool.wake.notify_all();
    } else {
        pool.wake.notify_one();
    }
}

// True if some other worker's deque or the injector holds a task.
bool work_visible(const Pool& pool, const Worker* self) noexcept {
    for (std::size_t i = 0; i < pool.thread_count; ++i) {
        if (&pool.workers[i] != self && !pool.workers[i].deque.looks_empty()) return true;
    }
    // seq_cst: load half of the handshake; pairs with the seq_cst store in inject.
    return pool.injected.load(std::memory_order_seq_cst) != 0;
}

// Sleeps until a waker bumps the epoch, unless work or `done` shows up
// after the sleep was announced.  Returns false if the pool is stopping.
bool sleep_until_woken(Worker* self, const std::atomic<bool>* done) noexcept {
    Pool& pool = *self->pool;
    std::uint64_t seen = 0;
    {
        std::lock_guard lock(pool.sleep_mutex);
        if (pool.stopping) return false;
        seen = pool.wake_epoch;
        // seq_cst: the store half of the handshake; pairs with the seq_cst
        // load in wake_sleepers.  Under the mutex, so a waker that sees it
        // bumps the epoch after `seen` was read.
        pool.sleepers.fetch_add(1, std::memory_order_seq_cst);
    }
    // seq_cst: load half of the handshake; pairs with the seq_cst store of
    // `done` in finish_stolen (and work_visible with push and inject).
    const bool awake = (done != nullptr && done->load(std::memory_order_seq_cst)) || work_visible(pool, self);
    bool stopping = false;
    if (!awake) {
        std::unique_lock lock(pool.sleep_mutex);
        while (pool.wake_epoch == seen && !pool.stopping) pool.wake.wait(lock);
        stopping = pool.stopping;
    }
    // relaxed: an overestimate only costs a waker one needless wake-up.
    pool.sleepers.fetch_sub(1, std::memory_order_relaxed);
    return !stopping;
}

// ---- finding work ---------------------------------------------------------

Task* pop_injected(Pool& pool) noexcept {
    // relaxed: a hint only; a job missed here is seen by the seq_cst load in
    // work_visible before the worker sleeps.
    if (pool.injected.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard lock(pool.injector_mutex);
    Task* job = pool.injector_head;
    if (job == nullptr) return nullptr;
    pool.injector_head = job->next;
    if (pool.injector_head == nullptr) pool.injector_tail = nullptr;
    // relaxed: written under injector_mutex; only the injection needs seq_cst.
    pool.injected.store(pool.injected.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    return job;
}

Task* find_work(Worker* self) noexcept {
    // Every task a worker offers is taken back or found stolen before its
    // fork-join returns, so an idle or joining worker holds none.
    assert(self->deque.empty_for_owner());
    Pool& pool = *self->pool;
    const std::size_t threads = pool.thread_count;
    if (threads > 1) {
        // xorshift64 (Marsaglia 2003): a random first victim spreads thieves.
        std::uint64_t& x = self->random;
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const std::size_t first = static_cast<std::size_t>(x % threads);
        bool contended = true;
        while (contended) {
            contended = false;
            for (std::size_t k = 0; k < threads; ++k) {
                Worker& victim = pool.workers[(first + k) % threads];
                if (&victim == self) continue;
                const StealResult<Task> stolen = victim.deque.steal();
                if (stolen.status == StealStatus::success) return stolen.task;
                if (stolen.status == StealStatus::aborted) contended = true;
            }
        }
    }
    return pop_injected(pool);
}

// Runs pending work until `done` is set (done != null) or, for the main loop
// (done == null), until the pool stops.  Returns false if it stopped.
bool work_until(Worker* self, const std::atomic<bool>* done) noexcept {
    unsigned idle_rounds = 0;
    for (;;) {
        // acquire; pairs with the seq_cst store in finish_stolen: the stolen
        // half's result is visible once `done` is seen.
        if (done != nullptr && done->load(std::memory_order_acquire)) return true;
        if (Task* task = find_work(self)) {
            task->execute(task, self);
            idle_rounds = 0;
        } else if (idle_rounds < spin_rounds) {
            ++idle_rounds;
            sched_yield();
        } else {
            if (!sleep_until_woken(self, done)) return false;
            idle_rounds = 0;
        }
    }
}

void* worker_main(void* record) {
    Worker* self = static_cast<Worker*>(record);
    this_worker = self;
    work_until(self, nullptr);  // returns only when creation failed
    return nullptr;
}

// ---- creation -------------------------------------------------------------

std::size_t choose_thread_count() noexcept {
    const char* first = std::getenv("RAYON_NUM_THREADS");
    // The second variable matters only when the first is not a count.
    const char* second = parse_count(first) ? nullptr : std::getenv("RAYON_RS_NUM_CPUS");
    return thread_count_from_env(first, second, sysconf(_SC_NPROCESSORS_ONLN));
}

void record_failure(const char* what, int error) noexcept {
    std::snprintf(creation_failure_cause, sizeof creation_failure_cause, "%s: %s (error %d)", what,
                  std::strerror(error), error);
    creation_failed = true;
}

// Tells the first `started` workers of a pool that never served a job to
// stop, joins them and frees the record.
void stop_and_free(Pool* pool, std::size_t started) noexcept {
    {
        std::lock_guard lock(pool->sleep_mutex);
        pool->stopping = true;
    }
    pool->wake.notify_all();
    for (std::size_t i = 0; i < started; ++i) pthread_join(pool->workers[i].thread, nullptr);
    delete pool;
}

// Called with creation_mutex held, no pool and no recorded failure.  Leaves
// either global_pool set or creation_failed set.
void create_pool_locked() noexcept {
    if (!fork_handler_registered) {
        const int error = pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
        if (error != 0) return record_failure("could not register the fork handler", error);
        fork_handler_registered = true;
    }
    const std::size_t threads = choose_thread_count();
    Pool* pool = nullptr;
    try {
        pool = new Pool(threads);
    } catch (...) {
        return record_failure("could not allocate the pool record", ENOMEM);
    }
    for (std::size_t i = 0; i < threads; ++i) {
        pool->workers[i].pool = pool;
        pool->workers[i].random = 0x9E3779B97F4A7C15u * (i + 1);  // any non-zero seed
    }
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error != 0) {
        delete pool;
        return record_failure("could not initialise the thread attributes", error);
    }
    error = pthread_attr_setstacksize(&attributes, worker_stack_bytes);
    std::size_t started = 0;
    while (error == 0 && started < threads) {
        Worker& worker = pool->workers[started];
        error = pthread_create(&worker.thread, &attributes, &worker_main, &worker);
        if (error == 0) ++started;
    }
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        stop_and_free(pool, started);
        char what[96];
        std::snprintf(what, sizeof what, "could not start worker thread %zu of %zu", started + 1, threads);
        return record_failure(what, error);
    }
    // release; pairs with the acquire load in acquire_pool: the record and
    // its workers are complete before another thread uses the pointer.
    global_pool.store(pool, std::memory_order_release);
}

Pool& acquire_pool() {
    // acquire; pairs with the release store in create_pool_locked.
    if (Pool* pool = global_pool.load(std::memory_order_acquire)) return *pool;
    pthread_mutex_lock(&creation_mutex);
    // relaxed: written under creation_mutex, which is held.
    Pool* pool = global_pool.load(std::memory_order_relaxed);
    if (pool == nullptr && !creation_failed) {
        create_pool_locked();
        pool = global_pool.load(std::memory_order_relaxed);
    }
    if (pool != nullptr) {
        pthread_mutex_unlock(&creation_mutex);
        return *pool;
    }
    std::string message;
    try {
        message = std::string(creation_failure_prefix) + creation_failure_cause;
    } catch (...) {
        pthread_mutex_unlock(&creation_mutex);
        throw;
    }
    pthread_mutex_unlock(&creation_mutex);
    throw InternalFailure(std::move(message));
}

// noexcept: once the job is queued, this thread must not unwind past it.
void inject(Pool& pool, Task* job) noexcept {
    {
        std::lock_guard lock(pool.injector_mutex);
        job->next = nullptr;
        if (pool.injector_tail == nullptr) {
            pool.injector_head = job;
        } else {
            pool.injector_tail->next = job;
        }
        pool.injector_tail = job;
        // seq_cst: store half of the handshake; pairs with the seq_cst load
        // in work_visible.  (relaxed read: under injector_mutex.)
        pool.injected.store(pool.injected.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
    }
    wake_sleepers(pool, false);
}

}  // namespace

// ---- the interface of pool.hpp --------------------------------------------

struct CallerLatch {
    std::mutex mutex;
    std::condition_variable condition;
    bool set = false;  // guarded by mutex; set by the worker ending the job, cleared by the owning thread
};

namespace {

// noexcept: the job lives on this thread's stack, and a worker holds it from
// the injection until it sets the latch; unwinding in between is not allowed.
void wait_for_injected(Pool& pool, Task* job, CallerLatch* latch) noexcept {
    inject(pool, job);
    std::unique_lock lock(latch->mutex);
    while (!latch->set) latch->condition.wait(lock);
    latch->set = false;  // ready for this thread's next call
}

}  // namespace

Worker* current_worker() noexcept { return this_worker; }

std::size_t pool_thread_count(const Worker* worker) noexcept { return worker->pool->thread_count; }

std::size_t global_thread_count() { return acquire_pool().thread_count; }

bool offer(Worker* worker, Task* task) noexcept {
    if (!worker->deque.push(task)) return false;  // push ends with the seq_cst store of bottom
    wake_sleepers(*worker->pool, false);
    return true;
}

bool take_back(Worker* worker, Task* task) noexcept {
    Task* newest = worker->deque.take();
    // Tasks above `task` were pushed and taken back by nested fork-joins that
    // have returned; tasks below it are stolen only after it.  So the deque
    // yields `task` itself or nothing.
    assert(newest == nullptr || newest == task);
    return newest == task;
}

void wait_for(Worker* worker, const std::atomic<bool>& done) noexcept {
    [[maybe_unused]] const bool finished = work_until(worker, &done);
    assert(finished);  // a pool that serves jobs never stops
}

void finish_stolen(Worker* thief, std::atomic<bool>& done) noexcept {
    Pool& pool = *thief->pool;  // read first: after the store the half may be gone
    // seq_cst: release side pairs with the acquire load in work_until (the
    // result is visible); the store half of the handshake for an owner that
    // announced sleep (pairs with the seq_cst load of `done` in sleep_until_woken).
    done.store(true, std::memory_order_seq_cst);
    wake_sleepers(pool, true);
}

CallerLatch* this_thread_latch() {
    thread_local CallerLatch latch;  // created on the thread's first use
    return &latch;
}

void run_injected(Task* job, CallerLatch* latch) {
    Pool& pool = acquire_pool();  // the only step that may throw
    wait_for_injected(pool, job, latch);
}

void set_latch(CallerLatch* latch) noexcept {
    std::lock_guard lock(latch->mutex);
    assert(!latch->set);
    latch->set = true;
    latch->condition.notify_all();
}

void rethrow_as_internal_failure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const InternalFailure&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;  // memory ran out on a worker: not a broken precondition
    } catch (...) {
        throw InternalFailure(generic_failure_message);
    }
}

void throw_write_count_mismatch(std::size_t expected, std::size_t written) {
    throw InternalFailure("expected " + std::to_string(expected) + " total writes, but got " +
                          std::to_string(written));
}

}  // namespace detail

std::size_t thread_count() {
    if (const detail::Worker* worker = detail::current_worker()) return detail::pool_thread_count(worker);
    return detail::global_thread_count();
}

}  // namespace lumora::pool
