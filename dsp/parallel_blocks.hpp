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
template <typename Work, typename AfterSuperblock>
void runOrderedBlocks(std::int64_t count, std::int64_t chunk, std::int64_t superblock,
                      int threadCount, Work&& work, AfterSuperblock&& afterSuperblock) {
    chunk = std::max<std::int64_t>(chunk, 1);
    superblock = std::max(superblock, chunk);
    threadCount = std::clamp(threadCount, 1, 256);
    for (std::int64_t first = 0; first < count; first += superblock) {
        const std::int64_t last = std::min(count, first + superblock);
        std::atomic<std::int64_t> next{first};
        auto run = [&] {
            for (;;) {
                const std::int64_t begin = next.fetch_add(chunk);
                if (begin >= last) {
                    return;
                }
                work(begin, std::min(last, begin + chunk));
            }
        };
        const std::int64_t chunks = (last - first + chunk - 1) / chunk;
        const int helpers = static_cast<int>(std::min<std::int64_t>(threadCount - 1, chunks - 1));
        std::vector<std::thread> pool;
        pool.reserve(static_cast<std::size_t>(helpers));
        for (int t = 0; t < helpers; ++t) {
            try {
                pool.emplace_back(run);
            } catch (const std::system_error&) {
                break;  // fewer threads only take longer
            }
        }
        run();
        for (std::thread& thread : pool) {
            thread.join();
        }
        afterSuperblock(last);
    }
}
