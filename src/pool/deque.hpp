// Work-stealing deque of task pointers: one per pool worker.
//
// Outline
// - Roles.  The owner (the worker the deque belongs to) pushes and takes at
//   the bottom, in LIFO order; thieves (the other workers) steal at the top,
//   in FIFO order.  Only the owner ever calls push and take; any thread may
//   call steal and looks_empty.
// - Invariants.  Indices grow without bound; the live tasks are the slots
//   top <= i < bottom of the current ring (slot i lives at i mod capacity).
//   Each pushed task is returned exactly once: by one take or by one
//   successful steal, never both (the last task is arbitrated by a CAS on
//   top).  A pushed task, and everything its owner wrote before pushing it,
//   is visible to a thief before the thief can see the bottom index that
//   covers it.
// - Lifetimes.  The deque lives as long as its worker, that is until the
//   process exits.  Rings replaced by a larger one are retired, not freed: a
//   thief may still be reading a slot of the old ring.  They are freed with
//   the deque.  The deque never owns the tasks it holds.
// - References.  D. Chase and Y. Lev, "Dynamic circular work-stealing
//   deque", SPAA 2005, 21-28, doi:10.1145/1073970.1073974.  N. M. Lê,
//   A. Pop, A. Cohen and F. Zappa Nardelli, "Correct and efficient
//   work-stealing for weak memory models", PPoPP 2013, 69-80,
//   doi:10.1145/2442516.2442524 (its Fig. 1 gives the C11 memory orders
//   this code follows, with the departures marked "Departure").
//
// Departures from Lê et al., each marked at its place:
// - the two seq_cst fences (in take and in steal) are folded into seq_cst
//   loads and stores of top and bottom.  Sequentially consistent accesses
//   give the same store-to-load ordering the fences give, ThreadSanitizer
//   does not model standalone fences (g++ warns about them under
//   -fsanitize=thread), and the pool's sleep protocol needs the push of a
//   task to be a seq_cst store anyway (see pool.hpp).
// - push publishes bottom with a seq_cst store instead of a release fence
//   followed by a relaxed store: it still releases the slot and the task,
//   and it is the store half of the pool's sleep handshake.
// - the ring pointer is read with acquire instead of consume (consume is
//   not used in this code base).
// - a ring that cannot grow (allocation failure) makes push report failure
//   instead of aborting; the caller then runs the task itself.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace lumora::pool {

enum class StealStatus {
    empty,    // nothing to steal
    aborted,  // lost a race for the top task against the owner or a thief; try again
    success,  // the returned task is the thief's to run
};

template <class T>
struct StealResult {
    StealStatus status;
    T* task;  // non-null exactly when status == success
};

template <class T>
class WorkStealingDeque {
public:
    static constexpr std::int64_t initial_capacity = 64;

    WorkStealingDeque() : ring_(new Ring(initial_capacity)) {}
    ~WorkStealingDeque() { delete ring_.load(std::memory_order_relaxed); }
    WorkStealingDeque(const WorkStealingDeque&) = delete;
    WorkStealingDeque& operator=(const WorkStealingDeque&) = delete;

    // Owner only.  Offers `task` (non-null) to thieves.  Returns false, with
    // the deque unchanged, if the ring was full and could not grow.
    bool push(T* task) noexcept {
        assert(task != nullptr);
        // relaxed: bottom is written by this thread only.
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        // acquire; pairs with the successful seq_cst CAS on top in steal, so
        // a thief's read of a slot happens before the owner reuses that slot.
        const std::int64_t t = top_.load(std::memory_order_acquire);
        // relaxed: ring_ is written by this thread only.
        Ring* ring = ring_.load(std::memory_order_relaxed);
        assert(b - t <= ring->capacity);
        if (b - t > ring->capacity - 1) {
            ring = grow(ring, t, b);
            if (ring == nullptr) return false;
        }
        // relaxed: published by the store of bottom below.
        ring->slot(b).store(task, std::memory_order_relaxed);
        // Departure: seq_cst store instead of release fence + relaxed store.
        // Release part pairs with the seq_cst loads of bottom in steal and
        // looks_empty; the seq_cst part orders this store before the
        // caller's seq_cst load of the pool's sleeper count.
        bottom_.store(b + 1, std::memory_order_seq_cst);
        return true;
    }

    // Owner only.  Takes back the most recently pushed task still present,
    // or returns null if thieves have taken everything.
    T* take() noexcept {
        // relaxed: bottom and ring_ are written by this thread only.
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        Ring* ring = ring_.load(std::memory_order_relaxed);
        // Departure: seq_cst store and seq_cst load of top replace relaxed
        // store, seq_cst fence, relaxed load.  Pairs with the seq_cst loads
        // of top and bottom in steal: either the thief sees the lowered
        // bottom, or this load sees the thief's raised top.
        bottom_.store(b, std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        if (t > b) {
            // Empty: restore bottom.  relaxed, as in the paper: with top > b
            // no thief can succeed on the slots this value covers.
            bottom_.store(b + 1, std::memory_order_relaxed);
            return nullptr;
        }
        // relaxed: the slot was written by this thread.
        T* task = ring->slot(b).load(std::memory_order_relaxed);
        if (t == b) {
            // The last task: race the thieves for it with a CAS on top.
            // seq_cst on success; pairs with the seq_cst CAS in steal (at
            // most one of them moves top from t to t + 1).  relaxed on
            // failure: the value read is not used.
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                task = nullptr;
            }
            // relaxed, as in the paper: the deque is empty (top == b + 1).
            bottom_.store(b + 1, std::memory_order_relaxed);
        }
        return task;
    }

    // Any thread.  Takes the oldest task.
    StealResult<T> steal() noexcept {
        // Departure: seq_cst loads replace acquire load, seq_cst fence,
        // acquire load.  The top load pairs with the CAS on top of other
        // thieves and of take; the bottom load pairs with the seq_cst store
        // of bottom in push (acquire side: the task is visible) and in take
        // (the Dekker-style handshake over the last task).
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        if (t >= b) return {StealStatus::empty, nullptr};
        // Departure: acquire instead of consume; pairs with the release store
        // of ring_ in grow, so the copied slots are visible.
        Ring* ring = ring_.load(std::memory_order_acquire);
        // relaxed: ordered by the acquire loads above; the value is used only
        // if the CAS below succeeds, which proves the slot was not reused.
        T* task = ring->slot(t).load(std::memory_order_relaxed);
        // seq_cst on success; pairs with the CAS in take and in other
        // steals, and with the acquire load of top in push (the slot read
        // above happens before the owner reuses the slot).  relaxed on
        // failure: nothing read is used.
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            return {StealStatus::aborted, nullptr};
        }
        assert(task != nullptr);
        return {StealStatus::success, task};
    }

    // Any thread.  True if no task was present at the moment of the loads.
    // seq_cst: the load half of the pool's sleep handshake; pairs with the
    // seq_cst store of bottom in push.
    bool looks_empty() const noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        const std::int64_t t = top_.load(std::memory_order_seq_cst);
        return t >= b;
    }

    // Owner only (debug checks): true if no task is left.  Exact once every
    // pushed task has been taken back or found stolen by take, since take
    // has then read a top at least as large as any this load can return.
    bool empty_for_owner() const noexcept {
        // relaxed: bottom is the owner's own, and coherence keeps this load of
        // top from going back behind the value take read.
        return top_.load(std::memory_order_relaxed) >= bottom_.load(std::memory_order_relaxed);
    }

private:
    struct Ring {
        explicit Ring(std::int64_t size)
            : capacity(size), slots(new std::atomic<T*>[static_cast<std::size_t>(size)]) {
            assert(size > 0 && (size & (size - 1)) == 0);  // a power of two: i mod capacity is a mask
        }
        std::atomic<T*>& slot(std::int64_t index) noexcept {
            return slots[static_cast<std::size_t>(index & (capacity - 1))];
        }
        const std::int64_t capacity;                  // fixed at construction
        const std::unique_ptr<std::atomic<T*>[]> slots;  // owner writes, thieves read; see push/steal
    };

    // Owner only.  Replaces a full ring by one twice as large holding the
    // same live slots [t, b); returns null if allocation fails.
    Ring* grow(Ring* old, std::int64_t t, std::int64_t b) noexcept {
        Ring* bigger = nullptr;
        try {
            retired_.reserve(retired_.size() + 1);  // so that the emplace below cannot throw
            bigger = new Ring(old->capacity * 2);
        } catch (...) {
            return nullptr;
        }
        retired_.emplace_back(old);
        for (std::int64_t i = t; i < b; ++i) {
            // relaxed: published by the release store of ring_ below.
            bigger->slot(i).store(old->slot(i).load(std::memory_order_relaxed), std::memory_order_relaxed);
        }
        // release; pairs with the acquire load of ring_ in steal.
        ring_.store(bigger, std::memory_order_release);
        return bigger;
    }

    // Written by thieves (CAS in steal) and by the owner (CAS in take when one
    // task is left); read by everyone.  Never decreases.
    alignas(64) std::atomic<std::int64_t> top_{0};
    // Written by the owner only (push, take); read by everyone.
    alignas(64) std::atomic<std::int64_t> bottom_{0};
    // Written by the owner only (grow); read by thieves.
    std::atomic<Ring*> ring_;
    // Rings replaced by grow, kept until the deque dies because a thief may
    // still read them.  Owner only.
    std::vector<std::unique_ptr<Ring>> retired_;
};

}  // namespace lumora::pool
