// Worker pool: sizing from the environment, the split rule, the parallel
// map's properties (every index once, order kept, failures, nesting, many
// callers), the deque, and the pool in the child of fork().
//
// The pool of this process is sized by its own environment; every property
// must hold for any T >= 1 (run with RAYON_NUM_THREADS=1 and =64 as well).
// The fork tests size their children explicitly; they are skipped under
// ThreadSanitizer, which does not support threads created after a fork of a
// multi-threaded process.  The test that starts the pool under a small
// address-space limit is skipped under AddressSanitizer, whose allocator
// and thread start-up abort on an mmap failure instead of reporting it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pool/deque.hpp"
#include "pool/pool.hpp"

namespace {

using lumora::InternalFailure;
using lumora::pool::parallel_map;

#if defined(__SANITIZE_THREAD__)
constexpr bool under_thread_sanitizer = true;
#else
constexpr bool under_thread_sanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool under_address_sanitizer = true;
#else
constexpr bool under_address_sanitizer = false;
#endif
#else
constexpr bool under_address_sanitizer = false;
#endif

// ---- sizing from the environment -------------------------------------------

TEST(PoolEnvironment, ThreadCountTable) {
    // Rows: RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS (nullptr: unset), online
    // processors, expected T.  Source: the documented reading rules.
    struct Row {
        const char* first;
        const char* second;
        long online;
        std::size_t expected;
        const char* why;
    };
    const Row rows[] = {
        {"3", nullptr, 8, 3, "a count"},
        {"3", "5", 8, 3, "first wins"},
        {"+4", nullptr, 8, 4, "one leading plus"},
        {"0004", nullptr, 8, 4, "leading zeros"},
        {"0", "5", 8, 8, "0: default, second not read"},
        {"+0", "5", 8, 8, "+0 is 0"},
        {"abc", "5", 8, 5, "not a number: second"},
        {"-2", "5", 8, 5, "minus: second"},
        {"+", "5", 8, 5, "lone plus: second"},
        {"", "5", 8, 5, "empty: second"},
        {"4 ", "5", 8, 5, "trailing blank: second"},
        {" 4", "5", 8, 5, "leading blank: second"},
        {"++4", "5", 8, 5, "two plus signs: second"},
        {"0x10", "5", 8, 5, "hexadecimal: second"},
        {"\xff\xfe", "5", 8, 5, "invalid UTF-8: second"},
        {"\xd9\xa3", "5", 8, 5, "non-ASCII digit: second"},
        {"18446744073709551616", "6", 8, 6, "2^64 does not fit: second"},
        {"18446744073709551615", nullptr, 8, 65535, "2^64 - 1 fits, capped"},
        {"99999999", nullptr, 8, 65535, "capped"},
        {"65535", nullptr, 8, 65535, "largest pool"},
        {"65536", nullptr, 8, 65535, "one above the cap"},
        {nullptr, "7", 8, 7, "first unset: second"},
        {nullptr, "0", 8, 8, "second 0: default"},
        {nullptr, "x", 8, 8, "second not a number: default"},
        {nullptr, nullptr, 8, 8, "both unset: default"},
        {nullptr, nullptr, 0, 1, "processor count 0: 1"},
        {nullptr, nullptr, -1, 1, "processor query failed: 1"},
        {nullptr, nullptr, 100000, 65535, "default capped"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(lumora::pool::thread_count_from_env(row.first, row.second, row.online), row.expected);
    }
}

// ---- the split rule ------------------------------------------------------------

// Number of pieces of a long input handed in by a caller when nothing is
// stolen: the caller's split, then both halves migrated, then local splits.
std::size_t pieces_without_stealing(std::size_t budget, bool migrated, std::size_t threads, int depth) {
    std::size_t halves = 0;
    if (depth == 60 || !lumora::pool::detail::split_budget(budget, migrated, threads, halves)) return 1;
    return pieces_without_stealing(halves, false, threads, depth + 1) * 2;
}

TEST(PoolSplit, PieceCountOfALongInput) {
    // 8·T pieces for T a power of two (8 for T = 1, 64 for T = 8).
    const std::size_t table[][2] = {{1, 8}, {2, 16}, {4, 32}, {8, 64}, {64, 512}};
    for (const auto& [threads, pieces] : table) {
        std::size_t halves = 0;
        ASSERT_TRUE(lumora::pool::detail::split_budget(threads, false, threads, halves));  // on the caller
        EXPECT_EQ(2 * pieces_without_stealing(halves, true, threads, 0), pieces) << "T = " << threads;
    }
    // A stolen piece splits again even at budget 0.
    std::size_t halves = 0;
    EXPECT_TRUE(lumora::pool::detail::split_budget(0, true, 4, halves));
    EXPECT_EQ(halves, 4u);
    EXPECT_FALSE(lumora::pool::detail::split_budget(0, false, 4, halves));
}

// ---- the parallel map ----------------------------------------------------------

// A value that differs for every index and depends on nothing else.
double value_of(std::size_t i) { return static_cast<double>(i) * 0.5 + 1.0; }

std::vector<std::size_t> iota(std::size_t n) {
    std::vector<std::size_t> items(n);
    for (std::size_t i = 0; i < n; ++i) items[i] = i;
    return items;
}

TEST(PoolMap, EveryIndexOnceInOrder) {
    for (const std::size_t n : {0u, 1u, 2u, 7u, 1000u, 100000u}) {
        SCOPED_TRACE(n);
        const auto items = iota(n);
        std::unique_ptr<std::atomic<int>[]> calls(new std::atomic<int>[n + 1]);
        const auto out = parallel_map<double>(items, [&](std::size_t i) {
            calls[i].fetch_add(1, std::memory_order_relaxed);
            return value_of(i);
        });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(calls[i].load(), 1) << i;
            ASSERT_EQ(out[i], value_of(i)) << i;
        }
    }
    EXPECT_GE(lumora::pool::thread_count(), 1u);
}

TEST(PoolMap, BatchesAreConsecutiveRangesCoveringEachIndexOnce) {
    for (const std::size_t n : {0u, 1u, 2u, 63u, 64u, 65u, 1000u, 100000u}) {
        SCOPED_TRACE(n);
        const auto items = iota(n);
        std::unique_ptr<std::atomic<int>[]> calls(new std::atomic<int>[n + 1]);
        std::atomic<int> bad_batches{0};
        const auto out = lumora::pool::parallel_map_batched<double>(
            items, [&](const std::size_t* in, double* slots, std::size_t count) {
                if (count == 0 || count > lumora::pool::batch_size) bad_batches.fetch_add(1);
                for (std::size_t k = 0; k < count; ++k) {
                    if (in[k] != in[0] + k) bad_batches.fetch_add(1);  // not one consecutive range
                    calls[in[k]].fetch_add(1, std::memory_order_relaxed);
                    slots[k] = value_of(in[k]);
                }
            });
        EXPECT_EQ(bad_batches.load(), 0);
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(calls[i].load(), 1) << i;
            ASSERT_EQ(out[i], value_of(i)) << i;
        }
    }
}

TEST(PoolMap, OnlyAOneItemInputRunsOnTheCaller) {
    const std::thread::id caller = std::this_thread::get_id();
    for (const std::size_t n : {1u, 2u, 3u, 64u, 5000u}) {
        std::atomic<int> on_caller{0};
        parallel_map<double>(iota(n), [&](std::size_t i) {
            if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
            return value_of(i);
        });
        EXPECT_EQ(on_caller.load(), n == 1 ? 1 : 0) << "n = " << n;
    }
}

TEST(PoolMap, NestedMapsKeepOrder) {
    // Outer items are lengths; each inner map runs inside the pool.
    const std::vector<std::size_t> lengths = {0, 1, 2, 3, 17, 500, 1, 2048, 9, 64, 333, 1000};
    const auto out = parallel_map<lumora::pool::Output<double>>(lengths, [](std::size_t n) {
        return parallel_map<double>(iota(n),
                                    [n](std::size_t i) { return value_of(i) + static_cast<double>(n); });
    });
    ASSERT_EQ(out.size(), lengths.size());
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        ASSERT_EQ(out[k].size(), lengths[k]);
        for (std::size_t i = 0; i < lengths[k]; ++i) {
            ASSERT_EQ(out[k][i], value_of(i) + static_cast<double>(lengths[k]));
        }
    }
}

TEST(PoolMap, ManyCallersAndManySmallJobs) {
    // Several threads outside the pool inject at once, each on its own latch.
    constexpr int callers = 8;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
        threads.emplace_back([c, &wrong] {
            for (int round = 0; round < 600; ++round) {
                const std::size_t n =
                    round % 100 == 0 ? 20000 : static_cast<std::size_t>(2 + (round * 7 + c) % 9);
                const auto out = parallel_map<double>(iota(n), [](std::size_t i) { return value_of(i); });
                for (std::size_t i = 0; i < n; ++i) {
                    if (out[i] != value_of(i)) wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

struct FailureRow {
    std::size_t n;
    std::vector<std::size_t> failing;  // indices whose element throws
};

TEST(PoolMap, LowestFailingIndexWinsAndAllPiecesAreJoined) {
    const FailureRow rows[] = {
        {2, {0}}, {2, {1}}, {2, {0, 1}}, {7, {6}}, {7, {3, 5}}, {1000, {0}}, {1000, {999}},
        {1000, {500, 3}}, {1000, {990, 10, 11}}, {5000, {4999, 2500, 1250, 625}},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "n = " << row.n << ", first failing " << row.failing[0]);
        const std::size_t lowest = *std::min_element(row.failing.begin(), row.failing.end());
        const std::size_t highest = *std::max_element(row.failing.begin(), row.failing.end());
        std::unique_ptr<std::atomic<int>[]> calls(new std::atomic<int>[row.n]);
        std::atomic<int> total{0};
        const auto element = [&](std::size_t i) {
            calls[i].fetch_add(1);
            total.fetch_add(1);
            // Slow items near the end keep late pieces busy after the failure.
            if (i % 97 == 96) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (std::find(row.failing.begin(), row.failing.end(), i) != row.failing.end()) {
                throw InternalFailure("element " + std::to_string(i) + " failed");
            }
            return value_of(i);
        };
        try {
            parallel_map<double>(iota(row.n), element);
            ADD_FAILURE() << "no failure raised";
        } catch (const InternalFailure& failure) {
            EXPECT_EQ(failure.message(), "element " + std::to_string(lowest) + " failed");
        }
        const int at_return = total.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(total.load(), at_return) << "a piece was still running after the map returned";
        for (std::size_t i = 0; i < row.n; ++i) {
            ASSERT_LE(calls[i].load(), 1) << i;
            if (i <= lowest) {
                ASSERT_EQ(calls[i].load(), 1) << i;  // pieces left of the failure all complete
            }
        }
        // The last item sits in a piece of its own right half; it runs to completion.
        if (highest < row.n / 2) {
            EXPECT_EQ(calls[row.n - 1].load(), 1);
        }
    }
}

TEST(PoolMap, ForeignExceptionsMemoryAndNestedFailures) {
    // An exception of another type becomes the generic internal failure.
    for (const std::size_t n : {1u, 2u, 100u}) {
        try {
            parallel_map<double>(iota(n), [n](std::size_t i) -> double {
                if (i == n - 1) throw std::runtime_error("not an internal failure");
                return value_of(i);
            });
            ADD_FAILURE() << "no failure raised, n = " << n;
        } catch (const InternalFailure& failure) {
            EXPECT_STREQ(failure.what(), lumora::pool::generic_failure_message) << "n = " << n;
        }
    }
    // Memory that runs out on a worker is not a broken precondition: the
    // std::bad_alloc itself reaches the caller (the module raises MemoryError),
    // also from an inner map.
    for (const std::size_t n : {1u, 2u, 100u}) {
        const auto element = [n](std::size_t i) -> double {
            if (i == n / 2) throw std::bad_alloc();
            return value_of(i);
        };
        EXPECT_THROW(parallel_map<double>(iota(n), element), std::bad_alloc) << "n = " << n;
    }
    const auto row = [](std::size_t k) {
        return parallel_map<double>(iota(100), [k](std::size_t i) {
            if (k == 30 && i == 50) throw std::bad_alloc();
            return value_of(i);
        });
    };
    EXPECT_THROW(parallel_map<lumora::pool::Output<double>>(iota(40), row), std::bad_alloc);
    // An inner map's failure travels through the outer map.
    try {
        parallel_map<lumora::pool::Output<double>>(iota(40), [](std::size_t k) {
            return parallel_map<double>(iota(100), [k](std::size_t i) {
                if (k >= 30 && i == 50) throw InternalFailure("inner " + std::to_string(k));
                return value_of(i);
            });
        });
        ADD_FAILURE() << "no failure raised";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "inner 30");
    }
}

// ---- the deque -----------------------------------------------------------------

TEST(PoolDeque, EveryTaskReturnedOnceUnderStealing) {
    // The owner pushes bursts longer than the initial ring (forcing growth)
    // and takes back; thieves steal throughout.  Each task must come out once.
    struct Item {};
    constexpr std::size_t tasks = 200000;
    std::vector<Item> items(tasks);
    std::unique_ptr<std::atomic<int>[]> seen(new std::atomic<int>[tasks]);
    lumora::pool::WorkStealingDeque<Item> deque;
    std::atomic<bool> finished{false};
    const auto mark = [&](Item* item) { seen[static_cast<std::size_t>(item - items.data())].fetch_add(1); };
    std::vector<std::thread> thieves;
    for (int t = 0; t < 3; ++t) {
        thieves.emplace_back([&] {
            while (!finished.load()) {
                const auto stolen = deque.steal();
                if (stolen.status == lumora::pool::StealStatus::success) mark(stolen.task);
            }
        });
    }
    std::size_t next = 0;
    for (std::size_t burst = 1; next < tasks; burst = burst % 300 + 7) {
        for (std::size_t k = 0; k < burst && next < tasks; ++k) ASSERT_TRUE(deque.push(&items[next++]));
        for (std::size_t k = 0; k < burst / 2; ++k) {
            if (Item* item = deque.take()) mark(item);
        }
    }
    while (Item* item = deque.take()) mark(item);
    finished.store(true);
    for (std::thread& thief : thieves) thief.join();
    for (std::size_t i = 0; i < tasks; ++i) ASSERT_EQ(seen[i].load(), 1) << i;
}

// ---- fork ----------------------------------------------------------------------

// Runs `body` in a child process and returns its exit code; -1 if the child
// hung for 60 s (it is then killed), 128 + signal if it died.
int run_in_child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        _exit(code);
    }
    for (int waited = 0; waited < 6000; ++waited) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// 0 if maps of several lengths keep order and evaluate nothing on the caller
// (one-item inputs excepted).
int check_maps() {
    const std::thread::id caller = std::this_thread::get_id();
    for (const std::size_t n : {0u, 1u, 2u, 7u, 1000u}) {
        std::atomic<int> on_caller{0};
        const auto out = parallel_map<double>(iota(n), [&](std::size_t i) {
            if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
            return value_of(i);
        });
        for (std::size_t i = 0; i < n; ++i) {
            if (out[i] != value_of(i)) return 10;
        }
        if (on_caller.load() != (n == 1 ? 1 : 0)) return 11;
    }
    return 0;
}

std::size_t threads_of_this_process() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

TEST(PoolFork, ChildStartsAFreshPoolFromItsEnvironment) {
    if (under_thread_sanitizer) GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    ASSERT_GE(lumora::pool::thread_count(), 1u);  // the parent's pool exists
    for (const char* size : {"1", "3", "64"}) {
        SCOPED_TRACE(size);
        const int code = run_in_child([size] {
            if (threads_of_this_process() != 1) return 1;  // the child inherits no worker
            setenv("RAYON_NUM_THREADS", size, 1);
            if (lumora::pool::thread_count() != std::stoul(size)) return 2;
            setenv("RAYON_NUM_THREADS", "5", 1);  // read once: no effect now
            if (lumora::pool::thread_count() != std::stoul(size)) return 3;
            return check_maps();
        });
        EXPECT_EQ(code, 0);
    }
}

TEST(PoolFork, FailedCreationIsFinalAndChildrenTryAgain) {
    if (under_thread_sanitizer) GTEST_SKIP() << "ThreadSanitizer does not support threads after fork";
    if (under_address_sanitizer) GTEST_SKIP() << "AddressSanitizer aborts when RLIMIT_AS refuses its mappings";
    // The child may reuse the stacks of the parent's workers (glibc keeps
    // them in its stack cache), so ask for that many and 64 more.
    const std::string too_many = std::to_string(lumora::pool::thread_count() + 64);
    const int code = run_in_child([&too_many] {
        // Leave room for a few 2 MiB stacks but not for 64.
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        const rlim_t unlimited = limit.rlim_cur;
        const auto page = static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        limit.rlim_cur = static_cast<rlim_t>(pages) * page + (12u << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) return 1;
        setenv("RAYON_NUM_THREADS", too_many.c_str(), 1);
        std::string first;
        try {
            lumora::pool::thread_count();
            return 2;
        } catch (const InternalFailure& failure) {
            first = failure.message();
        }
        if (first.rfind(lumora::pool::creation_failure_prefix, 0) != 0) return 3;
        if (threads_of_this_process() != 1) return 4;  // started workers were stopped
        limit.rlim_cur = unlimited;
        setrlimit(RLIMIT_AS, &limit);
        setenv("RAYON_NUM_THREADS", "2", 1);  // not read again
        try {
            parallel_map<double>(iota(10), [](std::size_t i) { return value_of(i); });
            return 5;
        } catch (const InternalFailure& failure) {
            if (failure.message() != first) return 6;
        }
        // A child of the failed process starts without a pool and tries again.
        return run_in_child([] { return lumora::pool::thread_count() == 2 ? check_maps() : 7; }) == 0 ? 0 : 8;
    });
    EXPECT_EQ(code, 0);
}


// ---- the capped parallel loop --------------------------------------------------

struct ForRow {
    std::size_t n, grain, cap;
};

// Every index exactly once, in ranges of at most `grain`, for caps below,
// at and above T.
TEST(PoolFor, EveryIndexOnceInRangesOfAtMostGrain) {
    const ForRow rows[] = {{0, 4, 2},     {1, 1, 8},      {5, 0, 3},        {7, 7, 2},
                           {8, 7, 2},     {1000, 1, 1},   {1000, 64, 2},    {1000, 64, 1000},
                           {100000, 256, 3}, {100001, 256, 65535}};
    for (const ForRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "n = " << row.n << ", grain = " << row.grain << ", cap = " << row.cap);
        std::unique_ptr<std::atomic<int>[]> calls(new std::atomic<int>[row.n + 1]);
        std::atomic<int> bad_ranges{0};
        lumora::pool::parallel_for(row.n, row.grain, row.cap, [&](std::size_t first, std::size_t last) {
            if (!(first < last && last <= row.n && last - first <= std::max<std::size_t>(row.grain, 1))) {
                bad_ranges.fetch_add(1);
                return;
            }
            for (std::size_t i = first; i < last; ++i) calls[i].fetch_add(1, std::memory_order_relaxed);
        });
        EXPECT_EQ(bad_ranges.load(), 0);
        for (std::size_t i = 0; i < row.n; ++i) ASSERT_EQ(calls[i].load(), 1) << i;
    }
}

TEST(PoolFor, ACapOfOneOrASingleChunkOrLaneRunsOnTheCaller) {
    const std::thread::id caller = std::this_thread::get_id();
    const ForRow rows[] = {{10, 64, 8}, {64, 64, 8}, {5000, 64, 1}, {5000, 64, 0}, {65, 64, 2}, {5000, 64, 2}};
    for (const ForRow& row : rows) {
        std::atomic<int> on_caller{0}, elsewhere{0};
        lumora::pool::parallel_for(row.n, row.grain, row.cap, [&](std::size_t, std::size_t) {
            (std::this_thread::get_id() == caller ? on_caller : elsewhere).fetch_add(1);
        });
        const bool inline_expected = row.n <= row.grain || row.cap <= 1 || lumora::pool::thread_count() == 1;
        EXPECT_EQ(elsewhere.load() == 0, inline_expected) << "n = " << row.n << ", cap = " << row.cap;
        EXPECT_EQ(on_caller.load() > 0, inline_expected) << "n = " << row.n << ", cap = " << row.cap;
    }
}

TEST(PoolFor, NoMoreThreadsAtOnceThanTheCap) {
    const std::size_t threads = lumora::pool::thread_count();
    for (const std::size_t cap : {2u, 3u, 64u}) {
        std::atomic<int> active{0}, most{0};
        lumora::pool::parallel_for(64, 1, cap, [&](std::size_t, std::size_t) {
            const int now = active.fetch_add(1) + 1;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            active.fetch_sub(1);
        });
        EXPECT_LE(static_cast<std::size_t>(most.load()), std::min(cap, threads)) << "cap = " << cap;
        EXPECT_GE(most.load(), 1);
    }
}

TEST(PoolFor, AFailureReachesTheCallerAfterEveryLaneEnded) {
    std::atomic<int> running{0};
    try {
        lumora::pool::parallel_for(10000, 16, 4, [&](std::size_t first, std::size_t) {
            running.fetch_add(1);
            if (first == 4992) {
                running.fetch_sub(1);
                throw std::runtime_error("boom");
            }
            running.fetch_sub(1);
        });
        ADD_FAILURE() << "no exception";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), lumora::pool::generic_failure_message);
    }
    EXPECT_EQ(running.load(), 0);
}

}  // namespace
