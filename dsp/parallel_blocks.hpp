#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

// Runs `work(begin, end)` over the items [0, count) in chunks of `chunk` items on up to
// `threadCount` threads (the caller's among them). The items go in ascending superblocks of
// `superblock` items: every chunk of one superblock is finished before the next superblock
// starts, and `afterSuperblock(end)` then runs on the calling thread with nothing in progress.
// Each item must be computed on its own, so that the split does not change the result.
//
// The helper threads are started once and wait between superblocks, so that a superblock costs
// no thread start.
template <typename Work, typename AfterSuperblock>
void runOrderedBlocks(std::int64_t count, std::int64_t chunk, std::int64_t superblock,
                      int threadCount, Work&& work, AfterSuperblock&& afterSuperblock) {
    chunk = std::max<std::int64_t>(chunk, 1);
    superblock = std::max(superblock, chunk);
    threadCount = std::clamp(threadCount, 1, 256);
    const std::int64_t chunkCount = (std::min(count, superblock) + chunk - 1) / chunk;
    const int wanted = static_cast<int>(std::min<std::int64_t>(threadCount - 1, chunkCount - 1));

    // The superblock being worked on is [first, last); `round` counts the superblocks handed
    // out, and each helper raises `finished` when it has no more chunks of the current one.
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::atomic<std::int64_t> next{0};
    std::atomic<std::int64_t> round{0};
    std::atomic<int> finished{0};
    std::atomic<bool> stopping{false};
    auto runChunks = [&] {
        for (;;) {
            const std::int64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= last) {
                return;
            }
            work(begin, std::min(last, begin + chunk));
        }
    };
    auto helper = [&] {
        std::int64_t seen = 0;
        for (;;) {
            round.wait(seen, std::memory_order_acquire);
            if (stopping.load(std::memory_order_acquire)) {
                return;
            }
            seen = round.load(std::memory_order_acquire);
            runChunks();
            finished.fetch_add(1, std::memory_order_release);
            finished.notify_one();
        }
    };

    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(std::max(wanted, 0)));
    for (int t = 0; t < wanted; ++t) {
        try {
            pool.emplace_back(helper);
        } catch (const std::system_error&) {
            break;  // fewer threads only take longer
        }
    }
    const int helpers = static_cast<int>(pool.size());
    for (first = 0; first < count; first += superblock) {
        last = std::min(count, first + superblock);
        next.store(first, std::memory_order_relaxed);
        finished.store(0, std::memory_order_relaxed);
        round.fetch_add(1, std::memory_order_release);
        round.notify_all();
        runChunks();
        for (int done = finished.load(std::memory_order_acquire); done < helpers;
             done = finished.load(std::memory_order_acquire)) {
            finished.wait(done, std::memory_order_acquire);
        }
        afterSuperblock(last);
    }
    stopping.store(true, std::memory_order_release);
    round.fetch_add(1, std::memory_order_release);
    round.notify_all();
    for (std::thread& thread : pool) {
        thread.join();
    }
}
