#include "dsp/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace {

// How often each item of [0, count) was handed out by one runChunks call, and whether every
// chunk stayed within the items and within the chunk size.
struct Visits {
    std::vector<std::atomic<int>> counts;
    std::atomic<bool> chunkOutOfShape{false};

    explicit Visits(std::int64_t count) : counts(static_cast<std::size_t>(count)) {}

    void run(std::int64_t count, std::int64_t chunk, int threads) {
        runChunks(count, chunk, threads, [&](std::int64_t begin, std::int64_t end) {
            if (begin < 0 || end > count || begin >= end) {
                chunkOutOfShape = true;
                return;
            }
            for (std::int64_t i = begin; i < end; ++i) {
                counts[static_cast<std::size_t>(i)].fetch_add(1);
            }
        });
    }

    // The first item not visited exactly once, or −1.
    std::int64_t firstWrong() const {
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (counts[i].load() != 1) {
                return static_cast<std::int64_t>(i);
            }
        }
        return -1;
    }
};

struct PoolCase {
    std::int64_t count;
    std::int64_t chunk;
    int threads;
};

// Every item exactly once: a chunk of 0 counts as 1, thread counts out of range are clamped,
// more threads than chunks leave the extra ones idle.
TEST(WorkerPoolTest, EveryItemRunsExactlyOnce) {
    const PoolCase cases[] = {{0, 4, 2},    {1, 4, 2},       {7, 1, 3},       {100, 0, 2},
                              {1000, 7, 1}, {1000, 7, 2},    {1000, 7, 3},    {1000, 7, -5},
                              {5, 1, 300},  {4096, 1024, 2}, {100000, 64, 4}, {3, 100, 8}};
    for (int round = 0; round < 3; ++round) {
        for (const PoolCase& c : cases) {
            Visits visits(c.count);
            visits.run(c.count, c.chunk, c.threads);
            const std::string where = std::to_string(c.count) + " items in chunks of " +
                                      std::to_string(c.chunk) + " on " + std::to_string(c.threads) +
                                      " threads";
            EXPECT_FALSE(visits.chunkOutOfShape.load()) << where;
            EXPECT_EQ(visits.firstWrong(), -1) << where;
        }
    }
}

// A job started from inside a job, and jobs started by several threads at once, each run
// whole: whoever finds the pool busy runs its chunks itself.
TEST(WorkerPoolTest, NestedAndConcurrentCallersEachRunWhole) {
    constexpr std::int64_t kOuter = 64;
    constexpr std::int64_t kInner = 500;
    std::deque<Visits> inner;
    for (std::int64_t i = 0; i < kOuter; ++i) {
        inner.emplace_back(kInner);
    }
    Visits outer(kOuter);
    runChunks(kOuter, 1, 2, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            outer.counts[static_cast<std::size_t>(i)].fetch_add(1);
            inner[static_cast<std::size_t>(i)].run(kInner, 16, 2);
        }
    });
    EXPECT_EQ(outer.firstWrong(), -1);
    for (std::int64_t i = 0; i < kOuter; ++i) {
        EXPECT_EQ(inner[static_cast<std::size_t>(i)].firstWrong(), -1) << "inner job " << i;
    }

    constexpr int kCallers = 4;
    std::deque<Visits> jobs;
    for (int j = 0; j < kCallers * 20; ++j) {
        jobs.emplace_back(3000 + j);
    }
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&jobs, t] {
            for (int j = t; j < kCallers * 20; j += kCallers) {
                jobs[static_cast<std::size_t>(j)].run(3000 + j, 100, 2 + t % 2);
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        EXPECT_EQ(jobs[j].firstWrong(), -1) << "job " << j;
    }
}

}  // namespace
