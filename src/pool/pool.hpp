// Process-wide work-stealing worker pool and the order-preserving parallel
// map that runs on it.  Plain C++ and POSIX threads: this code never sees a
// Python object.
//
// Outline
// - Roles.
//   * The pool: T workers (1 <= T <= 65535), started together on first
//     need, never stopped.  Each worker owns a Chase-Lev deque (deque.hpp):
//     as owner it pushes and takes at the bottom; as a thief it steals at
//     the top of the others' deques and takes jobs from the injector.
//   * A calling thread (any thread outside the pool) hands the root
//     fork-join of its map to the injector and sleeps on its own caller
//     latch until a worker sets it.  It evaluates no element, except for an
//     input of one item, which it evaluates itself without the pool.
//   * A worker that calls parallel_map (a nested map) runs the root piece
//     itself, inside the pool, and never touches a caller latch.
// - Pieces.  A piece [start, end) with a split budget is cut at
//   start + len/2.  Budget rule (split_budget): a piece run by the thread
//   that created it gives its halves budget/2 and is not split at budget 0;
//   a piece run elsewhere (stolen, or handed in by a calling thread) gives
//   its halves max(T, budget/2).  A one-item piece is never split.  The
//   worker that splits keeps the left half, offers the right half on its
//   deque, runs the left half, then takes the right half back or, if it was
//   stolen, runs other pending work until the thief marks it done.  A piece
//   that is not split evaluates its items in increasing order, in batches
//   of at most batch_size consecutive items (one call of the batch routine
//   each; parallel_map's routine calls the element routine item by item).
// - Invariants.
//   * Each output slot is written exactly once, by the thread that
//     evaluates its item; the caller reads the output only after the latch
//     is set (or, nested, after the root piece has been joined).
//   * A piece is visible to thieves before its owner moves on (the seq_cst
//     store of bottom in push publishes it together with everything the
//     owner wrote before).
//   * A fork-join returns only after both halves have finished, failed or
//     not; so a map returns or throws only after all its pieces are joined.
//   * The latch is set only after the root job has finished and stored its
//     result; the setter touches neither job nor latch after unlocking.
//   * Left failure wins: when both halves fail, the left one is passed on,
//     so the failure that reaches the caller is the one of the lowest
//     failing index.
//   * Sleep handshake (no lost wake-up): a publisher (push, injection, a
//     thief ending a stolen half) makes its work visible with a seq_cst
//     store, then reads the sleeper count with seq_cst; a worker about to
//     sleep raises the sleeper count with a seq_cst RMW, then looks for work
//     (and for its join) with seq_cst loads.  In the single total order of
//     seq_cst operations one of the two sees the other; a waker that sees a
//     sleeper bumps the wake epoch under the sleep mutex, and the sleeper
//     waits in a predicate loop on that epoch.
//   * A worker waiting for a stolen half never blocks on the half itself:
//     it keeps running pending work and sleeps only when none is visible
//     anywhere; the thief that ends the half wakes all sleepers.
// - Lifetimes.  The pool record and its workers live until the process
//   exits (never destroyed, never joined).  A job and its pieces live on the
//   stacks of the threads that created them and outlive every use by other
//   threads: the owner of a stolen half waits for its `done` flag, the
//   caller waits for its latch.  A caller latch is thread_local: created on
//   the thread's first use, destroyed when the thread exits.
// - Creation and fork.  The first thread_count() or parallel_map outside a
//   worker creates the pool under a process-wide guard, reading
//   RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS at that moment.  If a worker
//   cannot be started, the workers already started are stopped and joined,
//   and every later call fails the same way without reading the
//   environment again.  A fork handler (registered at the first creation)
//   makes the child of fork() start with no pool and no recorded failure:
//   the parent's record, whose threads do not exist in the child, is leaked
//   untouched, and the child's first call creates a fresh pool from the
//   child's environment.  A parent whose creation failed thus has children
//   that try again once.  Forking from inside an element routine (on a
//   worker) is not supported.
// - References.  Chase & Lev 2005 and Lê, Pop, Cohen & Zappa Nardelli 2013
//   for the deque (deque.hpp); R. D. Blumofe and C. E. Leiserson,
//   "Scheduling multithreaded computations by work stealing", J. ACM 46
//   (1999) 720-748, for the keep-left / offer-right scheduling.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/internal_failure.hpp"

namespace lumora::pool {

inline constexpr std::size_t max_thread_count = 65535;
inline constexpr std::size_t worker_stack_bytes = 2097152;  // 2 MiB per worker
// The most items a batch routine of parallel_map_batched is given at once.
inline constexpr std::size_t batch_size = 64;
inline constexpr const char* creation_failure_prefix = "The global thread pool has not been initialized. ";
// Message of a failure that carried no internal-failure text (an exception of
// another type escaped an element routine).
inline constexpr const char* generic_failure_message =
    "a parallel task failed with an exception that carries no message";

// T of the pool the current thread belongs to, or of the process-wide pool,
// creating it on first use.  Throws InternalFailure (creation_failure_prefix
// followed by the cause) if creation failed, now or earlier.
std::size_t thread_count();

// T from the raw values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (nullptr:
// unset) and the online processor count (<= 0: unknown).
std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  long online_processors) noexcept;

// The output of a parallel map.  Its slots are default-initialised, not
// zeroed: every slot is assigned exactly once by the thread that evaluates
// its item, so the memory is first touched (and, for a large output,
// faulted in) by the workers in parallel instead of by the caller before
// the map starts.
template <class T>
struct uninitialized_allocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = uninitialized_allocator<U>;
    };
    uninitialized_allocator() noexcept = default;
    template <class U>
    uninitialized_allocator(const uninitialized_allocator<U>&) noexcept {}
    template <class U>
    void construct(U* slot) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(slot)) U;
    }
    template <class U, class... Args>
    void construct(U* slot, Args&&... args) {
        ::new (static_cast<void*>(slot)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using Output = std::vector<T, uninitialized_allocator<T>>;

namespace detail {

class Worker;        // a pool worker (pool.cpp)
struct CallerLatch;  // the latch of a thread outside the pool (pool.cpp)

// A unit of pending work as deques and the injector hold it.
struct Task {
    // Runs the task on `worker`.  Written by the creator before the task is
    // published (push or injection); read by the thread that runs it.
    void (*execute)(Task* self, Worker* worker) noexcept = nullptr;
    // Injector link.  Guarded by the pool's injector mutex.
    Task* next = nullptr;
};

// The pool interface the templates below are written against.
Worker* current_worker() noexcept;  // null outside the pool
std::size_t pool_thread_count(const Worker* worker) noexcept;
std::size_t global_thread_count();  // creates the pool; throws on failure
// Pushes `task` on the worker's deque and wakes a sleeper; false if the
// deque could not grow (the task was not offered).
bool offer(Worker* worker, Task* task) noexcept;
// Takes the worker's newest task back; true if it is `task`, false if
// `task` was stolen.
bool take_back(Worker* worker, Task* task) noexcept;
// Runs pending work until `done` is set (acquire).
void wait_for(Worker* worker, const std::atomic<bool>& done) noexcept;
// A thief's last touch of a stolen half: sets `done` and wakes sleepers.
void finish_stolen(Worker* thief, std::atomic<bool>& done) noexcept;
CallerLatch* this_thread_latch();
// Hands `job` to the pool's injector and sleeps on `latch` until it is set.
void run_injected(Task* job, CallerLatch* latch);
// The worker's last touch of an injected job: lock, set, notify all, unlock.
void set_latch(CallerLatch* latch) noexcept;
[[noreturn]] void rethrow_as_internal_failure(const std::exception_ptr& failure);
[[noreturn]] void throw_write_count_mismatch(std::size_t expected, std::size_t written);

// Partial result of a piece.
struct PieceResult {
    std::size_t first = 0;        // first output slot covered
    std::size_t count = 0;        // slots written
    std::exception_ptr failure;   // the captured failure, null if none
};

// The split decision of a piece with `budget` run on the thread that created
// it (`migrated` false) or elsewhere (true).  Returns whether to split and
// the halves' budget.
inline bool split_budget(std::size_t budget, bool migrated, std::size_t threads,
                         std::size_t& halves) noexcept {
    if (migrated) {
        halves = budget / 2 > threads ? budget / 2 : threads;
        return true;
    }
    if (budget == 0) return false;
    halves = budget / 2;
    return true;
}

// Step of a fork-join: left failure wins (the right half has been joined and
// its result is dropped), then right failure, else the merged count.  A
// right half that does not start where the left one ends is dropped; the
// write-count check of parallel_map then reports it.
inline PieceResult merge(PieceResult left, PieceResult right) noexcept {
    if (left.failure) return left;
    if (right.failure) return right;
    if (left.first + left.count == right.first) left.count += right.count;
    return left;
}

// One parallel map: shared read-only by every thread working on it.
template <class Out, class In, class B>
struct MapJob {
    const In* input;      // read by all, written by none during the job
    Out* output;          // slot i written once by the thread that evaluates item i
    const B* batch;       // read-only
    std::size_t threads;  // T of the pool

    // Evaluates items start..end-1 in consecutive batches of at most
    // batch_size items, in increasing order, into their slots; the first
    // failure ends the loop and is captured.  A batch counts as written
    // only once it has returned.
    PieceResult run_sequential(std::size_t start, std::size_t end) const noexcept {
        PieceResult result{start, 0, {}};
        try {
            for (std::size_t i = start; i < end;) {
                const std::size_t n = end - i < batch_size ? end - i : batch_size;
                (*batch)(input + i, output + i, n);
                result.count += n;
                i += n;
            }
        } catch (...) {
            result.failure = std::current_exception();
        }
        assert(result.failure || result.count == end - start);
        return result;
    }
};

template <class Job>
PieceResult run_piece(const Job& job, Worker* worker, std::size_t start, std::size_t end,
                      std::size_t budget, bool migrated) noexcept;

// The offered right half of a fork-join.  Lives on the owner's stack.
template <class Job>
struct RightHalf final : Task {
    RightHalf(const Job& job_, std::size_t start_, std::size_t end_, std::size_t budget_) noexcept
        : job(&job_), start(start_), end(end_), budget(budget_) {
        execute = &run_stolen;
    }

    static void run_stolen(Task* self, Worker* thief) noexcept {
        RightHalf& half = *static_cast<RightHalf*>(self);
        half.result = run_piece(*half.job, thief, half.start, half.end, half.budget, true);
        finish_stolen(thief, half.done);  // after this the owner may have returned
    }

    const Job* job;                  // fixed at construction
    std::size_t start, end, budget;  // fixed at construction
    // Written by the thread that runs the half; read by the owner after
    // running it itself or after seeing `done`.
    PieceResult result;
    // Set once by a thief (finish_stolen, seq_cst); read by the owner
    // (wait_for, acquire).  Stays false when the owner takes the half back.
    std::atomic<bool> done{false};
};

// Processes [start, mid) here and offers [mid, end); both halves get
// `budget`.  `migrated` tells whether the halves run on another thread than
// the one that created them (true for the halves handed in by a caller).
template <class Job>
PieceResult fork_join(const Job& job, Worker* worker, std::size_t start, std::size_t mid,
                      std::size_t end, std::size_t budget, bool migrated) noexcept {
    assert(start < mid && mid < end);
    RightHalf<Job> right(job, mid, end, budget);
    const bool offered = offer(worker, &right);
    PieceResult left = run_piece(job, worker, start, mid, budget, migrated);
    if (!offered || take_back(worker, &right)) {
        right.result = run_piece(job, worker, mid, end, budget, migrated);
    } else {
        wait_for(worker, right.done);
    }
    return merge(std::move(left), std::move(right.result));
}

template <class Job>
PieceResult run_piece(const Job& job, Worker* worker, std::size_t start, std::size_t end,
                      std::size_t budget, bool migrated) noexcept {
    std::size_t halves = 0;
    if (end - start >= 2 && split_budget(budget, migrated, job.threads, halves)) {
        return fork_join(job, worker, start, start + (end - start) / 2, end, halves, false);
    }
    return job.run_sequential(start, end);
}

// The root fork-join of a map called outside the pool.  Lives on the
// caller's stack; the caller reads `result` after its latch is set.
template <class Job>
struct InjectedRoot final : Task {
    InjectedRoot(const Job& job_, std::size_t mid_, std::size_t end_, std::size_t budget_,
                 CallerLatch* latch_) noexcept
        : job(&job_), mid(mid_), end(end_), budget(budget_), latch(latch_) {
        execute = &run;
    }

    static void run(Task* self, Worker* worker) noexcept {
        InjectedRoot& root = *static_cast<InjectedRoot*>(self);
        // Both halves were created by the caller and run here: migrated.
        root.result = fork_join(*root.job, worker, 0, root.mid, root.end, root.budget, true);
        set_latch(root.latch);  // last touch of the job
    }

    const Job* job;                 // fixed at construction
    std::size_t mid, end, budget;   // fixed at construction
    CallerLatch* latch;             // fixed at construction
    PieceResult result;             // written by the worker before set_latch; read by the caller after
};

}  // namespace detail

// Order-preserving parallel map in batches: batch(in, out, n) must assign
// out[i] for every i < n (from in[i] alone, for the result not to depend on
// the split); each piece calls it on consecutive ranges of its items, at
// most batch_size at a time, in increasing order.  Returns the output.
// Throws InternalFailure if the pool cannot be created or a batch failed
// (the failure of the lowest failing batch; an exception of another type
// becomes generic_failure_message); all pieces are joined before it throws.
template <class Out, class In, class B>
Output<Out> parallel_map_batched(const std::vector<In>& input, const B& batch) {
    const std::size_t n = input.size();
    Output<Out> output(n);  // reserved once at its final size; each slot assigned once
    detail::Worker* worker = detail::current_worker();
    const std::size_t threads =
        worker != nullptr ? detail::pool_thread_count(worker) : detail::global_thread_count();
    using Job = detail::MapJob<Out, In, B>;
    const Job job{input.data(), output.data(), &batch, threads};

    detail::PieceResult root;
    std::size_t halves = 0;
    if (n < 2 || !detail::split_budget(threads, false, threads, halves)) {
        root = job.run_sequential(0, n);  // one item (or none): on this thread
    } else if (worker != nullptr) {
        root = detail::fork_join(job, worker, 0, n / 2, n, halves, false);  // nested: inside the pool
    } else {
        detail::CallerLatch* latch = detail::this_thread_latch();
        detail::InjectedRoot<Job> injected(job, n / 2, n, halves, latch);
        detail::run_injected(&injected, latch);
        root = std::move(injected.result);
    }
    if (root.failure) detail::rethrow_as_internal_failure(root.failure);
    if (root.count != n) detail::throw_write_count_mismatch(n, root.count);
    return output;
}

// Order-preserving parallel map: returns out with out[i] = element(input[i]),
// evaluated item by item in increasing order within each piece.  Failures as
// for parallel_map_batched: the failure of the lowest failing index wins.
template <class Out, class In, class F>
Output<Out> parallel_map(const std::vector<In>& input, const F& element) {
    return parallel_map_batched<Out>(input, [&element](const In* in, Out* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = element(in[i]);
    });
}


namespace detail {

// One capped parallel loop: shared by every thread working on it.  Its
// items are lanes (at most the cap); each lane claims chunks of `grain`
// consecutive indices from `next` until none is left, so that at most
// `lanes` threads run the body at once and a slow chunk does not hold the
// others back (dynamic scheduling within the cap).
template <class F>
struct RangeJob {
    const F* body;        // read-only
    std::size_t n;        // indices 0..n-1, fixed
    std::size_t grain;    // indices per chunk, fixed (>= 1)
    std::size_t chunks;   // ceil(n / grain), fixed
    std::size_t threads;  // T of the pool (the split rule's bound)
    // The next chunk to hand out.  fetch_add by every lane; relaxed: the
    // chunks are disjoint, and what a lane writes reaches the caller
    // through the join (or the latch), not through this counter.
    std::atomic<std::size_t>* next;

    // Runs lanes start..end-1 (one claim loop does for all of them); the
    // first failure stops the claiming of new chunks and is captured.  A
    // lane counts as one write.
    PieceResult run_sequential(std::size_t start, std::size_t end) const noexcept {
        PieceResult result{start, end - start, {}};
        try {
            for (;;) {
                const std::size_t chunk = next->fetch_add(1, std::memory_order_relaxed);
                if (chunk >= chunks) break;
                const std::size_t first = chunk * grain;
                (*body)(first, n - first < grain ? n : first + grain);
            }
        } catch (...) {
            // relaxed: only stops further claims early.
            next->store(chunks, std::memory_order_relaxed);
            result.failure = std::current_exception();
        }
        return result;
    }
};

}  // namespace detail

// Parallel loop over the indices 0..n-1 on at most `max_threads` threads
// (0 counts as 1; the pool's T bounds it as well): body(first, last) is
// called on disjoint ranges [first, last) of at most `grain` indices (0
// counts as 1) that together cover 0..n-1 once, in no particular order
// nor thread.  A loop of one chunk, or a cap of 1, runs on the calling
// thread without touching the pool (nor creating it); so does a pool of
// one thread (T = 1), once created.  Otherwise the
// calling thread sleeps until every range is done, as in
// parallel_map_batched; results that depend on the index alone are thus
// the same for any cap.  Throws InternalFailure if the pool cannot be
// created or a body failed (an exception of another type becomes
// generic_failure_message); every lane has ended before it throws.
template <class F>
void parallel_for(std::size_t n, std::size_t grain, std::size_t max_threads, const F& body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    const std::size_t chunks = n / grain + (n % grain != 0 ? 1 : 0);
    if (chunks == 1 || max_threads <= 1) {  // on this thread: no job, no pool
        for (std::size_t first = 0; first < n; first += grain) body(first, n - first < grain ? n : first + grain);
        return;
    }
    detail::Worker* worker = detail::current_worker();
    const std::size_t threads =
        worker != nullptr ? detail::pool_thread_count(worker) : detail::global_thread_count();
    std::size_t lanes = max_threads < threads ? max_threads : threads;
    if (lanes > chunks) lanes = chunks;
    std::atomic<std::size_t> next{0};
    using Job = detail::RangeJob<F>;
    const Job job{&body, n, grain, chunks, threads, &next};

    // Lanes are split down to one per piece: the root budget is T >= lanes,
    // halved per level, so every piece of two or more lanes still splits.
    detail::PieceResult root;
    std::size_t halves = 0;
    if (lanes < 2 || !detail::split_budget(threads, false, threads, halves)) {
        root = job.run_sequential(0, lanes);
    } else if (worker != nullptr) {
        root = detail::fork_join(job, worker, 0, lanes / 2, lanes, halves, false);  // nested
    } else {
        detail::CallerLatch* latch = detail::this_thread_latch();
        detail::InjectedRoot<Job> injected(job, lanes / 2, lanes, halves, latch);
        detail::run_injected(&injected, latch);
        root = std::move(injected.result);
    }
    if (root.failure) detail::rethrow_as_internal_failure(root.failure);
    if (root.count != lanes) detail::throw_write_count_mismatch(lanes, root.count);
}

}  // namespace lumora::pool
