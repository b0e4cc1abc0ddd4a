// A chain whose buffers are made up front takes no memory while it plays, on one thread, with its
// disc moving, at every sample rate, up to the largest timing error it was made for.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dsp/groove_geometry.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/upsampler.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/support/allocation_counter.hpp"
#include "tests/support/coefficients.hpp"

namespace {

constexpr double k33 = 100.0 / 3;

struct ReservedCase {
    const char* name;
    int sampleRate;
    int channels;
    std::int64_t block;
    DiscParameters disc;   // the disc played; the largest timing error is that of `worst`
    DiscParameters worst;  // the disc of the largest timing error the chain is made for
    double level;          // of the input, in full scale
};

TEST(ReservedChain, TakesNoMemoryWhilePlaying) {
    const ReservedCase cases[] = {
        {"typical", 44100, 2, 64, {k33, 100, 0.05, 2}, {k33, 50, 0.2, 45}, 0.9},
        {"mono at 96 kHz", 96000, 1, 64, {45, 80, 0.05, -3}, {k33, 50, 0.2, 45}, 0.9},
        {"at the limit, 192 kHz", 192000, 2, 64, {k33, 50, 0.2, 45}, {k33, 50, 0.2, 45}, 4},
        {"one frame at a time, 32 kHz", 32000, 2, 1, {k33, 50, 0.2, -45}, {k33, 50, 0.2, 45}, 4},
    };
    for (const ReservedCase& c : cases) {
        SCOPED_TRACE(c.name);
        const double gain = lateralFilterGainBound(c.sampleRate, LateralDirection::Recording) *
                            upsamplerGainBound(projectCoefficients());
        const double bound = c.level * gain * c.worst.fullScaleLateralAmplitude *
                             std::tan(c.worst.trackingErrorDegrees * M_PI / 180) /
                             grooveVelocityAt(c.worst.grooveRadius, c.worst.revolutionsPerMinute);
        ChainSettings settings;
        settings.sampleRate = c.sampleRate;
        settings.channelCount = c.channels;
        settings.disc = c.disc;
        settings.coefficients = &projectCoefficients();
        settings.threadCount = 1;
        settings.reservedBlockFrames = c.block;
        settings.reservedLagFrames = chainLagFrames(c.sampleRate, bound * (1 + 1e-6));
        StreamingChain chain(settings);
        // Loud music with a slow swing, square bursts at the limit, and the angle swept back and
        // forth across ramps of various lengths.
        const std::int64_t frames =
            c.sampleRate * 3 / 2 / c.block * c.block / (c.block == 1 ? 8 : 1);
        std::vector<double> input(static_cast<std::size_t>(c.block * c.channels));
        std::vector<double> output(static_cast<std::size_t>(4 * c.block * c.channels + 64));
        std::mt19937 random(1u);
        std::uniform_real_distribution<double> noise(-1.0, 1.0);
        for (int round = 0; round < 2; ++round) {
            allocation_counter::start();
            std::int64_t pulled = 0;
            for (std::int64_t at = 0; at < frames; at += c.block) {
                for (std::int64_t k = 0; k < c.block; ++k) {
                    const double frame = static_cast<double>(at + k);
                    const bool burst = ((at + k) / 4000) % 3 == 1;
                    const double v = burst ? (((at + k) / 400) % 2 == 0 ? 1.0 : -1.0)
                                           : 0.7 * std::sin(frame * 0.002) + 0.3 * noise(random);
                    for (int ch = 0; ch < c.channels; ++ch) {
                        input[static_cast<std::size_t>(k * c.channels + ch)] =
                            v * c.level * 32768.0;
                    }
                }
                if ((at / c.block) % 37 == 5) {
                    DiscParameters next = c.disc;
                    next.trackingErrorDegrees =
                        c.disc.trackingErrorDegrees * ((at / c.block) % 2 == 0 ? -1.0 : 0.5);
                    EXPECT_TRUE(
                        chain.changeDisc(at, 1 + (at / c.block * 613) % (30 * c.block), next));
                }
                chain.pushFrames(input.data(), c.block);
                for (std::int64_t got; (got = chain.pullFrames(output.data(), 4 * c.block)) > 0;) {
                    pulled += got;
                }
            }
            EXPECT_EQ(allocation_counter::stop(), 0) << "round " << round;
            EXPECT_LE(frames - pulled, settings.reservedLagFrames);
            chain.reset(c.disc);
        }
    }
}

}  // namespace
