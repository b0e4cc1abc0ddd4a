#include "tests/support/engine_runs.hpp"

#include <utility>

#include "dsp/cpu_features.hpp"
#include "dsp/polyphase_kernel.hpp"

void expectSameForAnySplit(const ChainSettings& settings, const std::vector<double>& input,
                           const std::vector<double>& expected) {
    const std::int64_t frames =
        static_cast<std::int64_t>(input.size()) / (settings.channelCount == 1 ? 1 : 2);
    const struct {
        const char* name;
        std::vector<std::int64_t> pieces;
    } splits[] = {
        {"whole", {frames}},
        {"blocks of 1", evenPieces(frames, 1)},
        {"blocks of 7", evenPieces(frames, 7)},
        {"blocks of 4096", evenPieces(frames, 4096)},
        {"random blocks", randomPieces(frames, 99u)},
    };
    for (const auto& split : splits) {
        for (int threads : {1, 2, 3}) {
            if (split.pieces.size() > 200 && threads > 1) {
                continue;  // tiny blocks run on one thread whatever the count
            }
            ChainSettings run = settings;
            run.threadCount = threads;
            expectSameBits(expected, runEngine(run, input, split.pieces),
                           std::string(split.name) + ", " + std::to_string(threads) + " thread(s)");
        }
    }
    // Each lane kernel in turn, whichever this processor would choose.
    struct KernelInUse {
        explicit KernelInUse(LaneKernel kernel) { useLaneKernel(kernel); }
        ~KernelInUse() { useLaneKernel(nullptr); }
    };
    std::vector<std::pair<const char*, LaneKernel>> kernels = {
        {"x87", accumulateLanesX87}, {"portable", accumulateLanesPortable}};
    if (hasAvx512()) {
        kernels.emplace_back("avx512", accumulateLanesAvx512);
    }
    for (const auto& [name, kernel] : kernels) {
        const KernelInUse inUse(kernel);
        ChainSettings run = settings;
        run.threadCount = 2;
        expectSameBits(expected, runEngine(run, input, randomPieces(frames, 5u)),
                       std::string("random blocks, 2 threads, the ") + name + " kernel");
    }
}
