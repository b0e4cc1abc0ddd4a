#include "dsp/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include <immintrin.h>

namespace {

constexpr int kMostHelpers = 255;
constexpr unsigned kMostDefaultThreads = 8;
// How long a thread spins before it sleeps on a futex: the gaps between the jobs of one block
// of the engine are shorter than this, and waking a sleeping thread costs far more.
constexpr auto kSpinTime = std::chrono::microseconds(300);

struct Pool {
    std::mutex callers;  // held by the caller whose job is running
    int helperCount = 0;

    // The job, written only while no helper is between picking it up and finishing it.
    ChunkFunction function = nullptr;
    void* context = nullptr;
    std::int64_t count = 0;
    std::int64_t chunk = 1;
    int takers = 0;  // helpers that take part: those numbered below

    std::atomic<std::int64_t> next{0};
    std::atomic<std::uint32_t> generation{0};
    std::atomic<int> pending{0};  // helpers that have not finished the current job
};

Pool& pool() {
    // Never destroyed: helpers may still be waiting when the process exits.
    static Pool* const instance = new Pool;
    return *instance;
}

// Waits until `value` differs from `old`, spinning first, then asleep; returns the new value.
template <typename T>
T waitWhile(const std::atomic<T>& value, T old) {
    const auto spinUntil = std::chrono::steady_clock::now() + kSpinTime;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            const T now = value.load(std::memory_order_acquire);
            if (now != old) {
                return now;
            }
            _mm_pause();
        }
        if (std::chrono::steady_clock::now() >= spinUntil) {
            break;
        }
    }
    for (;;) {
        value.wait(old, std::memory_order_acquire);
        const T now = value.load(std::memory_order_acquire);
        if (now != old) {
            return now;
        }
    }
}

void takeChunks(Pool& p) {
    for (;;) {
        const std::int64_t begin = p.next.fetch_add(p.chunk, std::memory_order_relaxed);
        if (begin >= p.count) {
            return;
        }
        p.function(p.context, begin, std::min(p.count, begin + p.chunk));
    }
}

void helperLoop(Pool& p, int number, std::uint32_t seen) {
    for (;;) {
        seen = waitWhile(p.generation, seen);
        if (number < p.takers) {
            takeChunks(p);
        }
        if (p.pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            p.pending.notify_one();
        }
    }
}

void startHelpers(Pool& p, int wanted) {
    while (p.helperCount < wanted) {
        try {
            std::thread(helperLoop, std::ref(p), p.helperCount,
                        p.generation.load(std::memory_order_relaxed))
                .detach();
        } catch (const std::system_error&) {
            return;  // fewer threads only take longer
        }
        ++p.helperCount;
    }
}

}  // namespace

void runPoolChunks(std::int64_t count, std::int64_t chunk, int threadCount, ChunkFunction function,
                   void* context) {
    if (count <= 0) {
        return;
    }
    chunk = std::max<std::int64_t>(chunk, 1);
    const std::int64_t chunkCount = (count + chunk - 1) / chunk;
    const int wanted = static_cast<int>(
        std::min<std::int64_t>(std::clamp(threadCount, 1, kMostHelpers + 1) - 1, chunkCount - 1));
    // A job for one thread runs here and now, without touching the pool: a caller that never
    // asks for more (the plugin's audio thread) takes no lock and starts no thread.
    if (wanted <= 0) {
        function(context, 0, count);
        return;
    }
    Pool& p = pool();
    std::unique_lock<std::mutex> lock(p.callers, std::defer_lock);
    if (!lock.try_lock()) {
        function(context, 0, count);
        return;
    }
    startHelpers(p, wanted);
    p.function = function;
    p.context = context;
    p.count = count;
    p.chunk = chunk;
    p.takers = wanted;
    p.next.store(0, std::memory_order_relaxed);
    // Every helper answers every job, so that none can still be reading this one when the
    // next is written.
    p.pending.store(p.helperCount, std::memory_order_relaxed);
    p.generation.fetch_add(1, std::memory_order_release);
    p.generation.notify_all();
    takeChunks(p);
    for (int left = p.pending.load(std::memory_order_acquire); left != 0;
         left = p.pending.load(std::memory_order_acquire)) {
        waitWhile(p.pending, left);
    }
}

int defaultThreadCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) {
        return 1;
    }
    return static_cast<int>(cores < kMostDefaultThreads ? cores : kMostDefaultThreads);
}
