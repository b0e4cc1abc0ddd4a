#pragma once

#include <cstdint>
#include <type_traits>

// One pool of helper threads for the whole process, started on first use and kept waiting
// between jobs, so that a job costs a wake-up instead of a thread start.

// How many threads a run takes unless told otherwise: the processor's cores, at most 8.
int defaultThreadCount();

using ChunkFunction = void (*)(void* context, std::int64_t begin, std::int64_t end);

// Runs function(context, begin, end) over the items [0, count) in chunks of `chunk` items, on
// up to `threadCount` threads, the caller's among them, and returns when every chunk is done.
// While the pool serves another caller (or the caller is itself one of its helpers), every
// chunk runs on the calling thread. Each item must be computed on its own, so that the split
// does not change the result.
void runPoolChunks(std::int64_t count, std::int64_t chunk, int threadCount, ChunkFunction function,
                   void* context);

template <typename Work>
void runChunks(std::int64_t count, std::int64_t chunk, int threadCount, Work&& work) {
    runPoolChunks(
        count, chunk, threadCount,
        [](void* context, std::int64_t begin, std::int64_t end) {
            (*static_cast<std::remove_reference_t<Work>*>(context))(begin, end);
        },
        &work);
}
