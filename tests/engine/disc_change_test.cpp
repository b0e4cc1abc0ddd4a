// The engine as a player whose controls move: a chain with its buffers made up front, the disc
// changed while it plays, and the bounds on the gains and the lag that size those buffers.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "dsp/groove_geometry.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/stylus_model.hpp"
#include "dsp/upsampler.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/reference/reference_chain.hpp"
#include "tests/reference/reference_shelving.hpp"
#include "tests/reference/reference_upsampler.hpp"
#include "tests/support/coefficients.hpp"

namespace {

constexpr double k33 = 100.0 / 3;

struct Change {
    std::int64_t frame;
    std::int64_t rampFrames;
    DiscParameters disc;
};

struct PlayCase {
    const char* name;
    std::int64_t frames;
    int channels;
    int sampleRate;
    DiscParameters disc;
    std::vector<Change> changes;
    std::int64_t piece;  // frames pushed at a time
};

// Shown by its name in failures, not as a byte dump.
void PrintTo(const PlayCase& c, std::ostream* out) {
    *out << c.name;
}

// Music-like input: a slow sine that moves the groove, and noise.
std::vector<double> musicInput(std::int64_t frames, int channels, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> samples(static_cast<std::size_t>(frames * channels));
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const double smooth = 0.6 * std::sin(0.011 * static_cast<double>(k / channels));
        samples[k] = std::round(25000 * (smooth + noise(random) / 3));
    }
    return samples;
}

// The disc at high-rate index j, written out directly: each change moves every parameter
// linearly from the one before across its ramp, frame f lining up with index 144·f + 10447.
DiscParameters discAt(const PlayCase& c, std::int64_t j) {
    DiscParameters disc = c.disc;
    for (const Change& change : c.changes) {
        const std::int64_t first = 144 * change.frame + 10447;
        const std::int64_t end = first + 144 * change.rampFrames;
        if (j < first) {
            return disc;
        }
        if (j < end) {
            const double t = static_cast<double>(j - first) / static_cast<double>(end - first);
            const auto at = [t](double a, double b) { return a + (b - a) * t; };
            return {at(disc.revolutionsPerMinute, change.disc.revolutionsPerMinute),
                    at(disc.grooveRadius, change.disc.grooveRadius),
                    at(disc.fullScaleLateralAmplitude, change.disc.fullScaleLateralAmplitude),
                    at(disc.trackingErrorDegrees, change.disc.trackingErrorDegrees)};
        }
        disc = change.disc;
    }
    return disc;
}

ChainSettings reservedSettings(const PlayCase& c, std::int64_t lag) {
    ChainSettings settings;
    settings.sampleRate = c.sampleRate;
    settings.channelCount = c.channels;
    settings.disc = c.disc;
    settings.coefficients = &projectCoefficients();
    settings.threadCount = 1;
    settings.reservedBlockFrames = c.piece;
    settings.reservedLagFrames = lag;
    return settings;
}

// Plays the case's input through `chain` in its pieces, making each change where it starts;
// returns the output and notes the most frames the output trailed the input by.
std::vector<double> play(StreamingChain& chain, const PlayCase& c, const std::vector<double>& input,
                         std::int64_t* largestLag = nullptr) {
    std::vector<double> output;
    std::vector<double> scratch(static_cast<std::size_t>(4096 * c.channels));
    const auto drain = [&] {
        for (std::int64_t got; (got = chain.pullFrames(scratch.data(), 4096)) > 0;) {
            output.insert(output.end(), scratch.begin(), scratch.begin() + got * c.channels);
        }
    };
    std::size_t next = 0;
    for (std::int64_t at = 0; at < c.frames;) {
        if (next < c.changes.size() && c.changes[next].frame == at) {
            const Change& change = c.changes[next++];
            EXPECT_TRUE(chain.changeDisc(change.frame, change.rampFrames, change.disc))
                << "the change at frame " << change.frame;
        }
        std::int64_t piece = std::min(c.piece, c.frames - at);
        if (next < c.changes.size()) {
            piece = std::min(piece, c.changes[next].frame - at);
        }
        chain.pushFrames(input.data() + at * c.channels, piece);
        at += piece;
        drain();
        if (largestLag != nullptr) {
            *largestLag = std::max(*largestLag, chain.framesIn() - chain.framesOut());
        }
    }
    chain.finish();
    drain();
    return output;
}

void expectSameBits(const std::vector<double>& expected, const std::vector<double>& actual,
                    const std::string& what) {
    ASSERT_EQ(expected.size(), actual.size()) << what;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(expected[k]),
                  std::bit_cast<std::uint64_t>(actual[k]))
            << what << ": value " << k << " expected " << expected[k] << " got " << actual[k];
    }
}

std::vector<double> expectedOutput(const PlayCase& c, const std::vector<double>& input) {
    return referenceUnscaledOutputOfDiscs(
        input, c.channels, c.sampleRate, [&c](std::int64_t j) { return discAt(c, j); },
        projectTapLists());
}

const std::vector<PlayCase>& playCases() {
    static const std::vector<PlayCase> cases = {
        {"Constant", 2500, 2, 44100, {k33, 100, 0.05, 2}, {}, 64},
        {"ConstantOneFrameAtATime", 600, 2, 44100, {45, 70, 0.05, -1.5}, {}, 1},
        {"AngleSweep",
         3000,
         2,
         44100,
         {k33, 100, 0.05, 2},
         {{500, 64, {k33, 100, 0.05, -3}}, {1200, 64, {k33, 100, 0.05, 10}}},
         64},
        {"BackToBackRamps",
         2500,
         1,
         48000,
         {45, 80, 0.05, 0},
         {{256, 64, {45, 80, 0.05, 5}},
          {320, 64, {45, 80, 0.05, -5}},
          {384, 64, {45, 80, 0.05, 0}}},
         64},
        {"SpeedRadiusAndAmplitude",
         3000,
         2,
         96000,
         {k33, 140, 0.03, 3},
         {{700, 64, {78.26, 60, 0.1, 3}}, {1500, 1, {45, 100, 0.05, 3}}},
         64},
        {"RampLongerThanAPiece",
         3000,
         2,
         44100,
         {k33, 100, 0.05, 2},
         {{300, 1000, {k33, 50, 0.2, 45}}},
         64},
        {"StrongChanges",
         2000,
         2,
         192000,
         {k33, 50, 0.2, 45},
         {{400, 7, {k33, 50, 0.2, -45}}, {900, 64, {78.26, 150, 0, 0}}},
         7},
        {"ManyChangesInSmallPieces",
         1500,
         2,
         32000,
         {k33, 100, 0.05, 2},
         {{100, 1, {k33, 100, 0.05, 3}},
          {101, 1, {k33, 100, 0.05, 4}},
          {102, 5, {k33, 90, 0.06, 5}},
          {600, 3, {k33, 90, 0.06, -5}}},
         1},
    };
    return cases;
}

class PlayingChainTest : public ::testing::TestWithParam<PlayCase> {};

// With its buffers made up front, on one thread, with the disc moving or not, the chain gives the
// direct pass's values bit for bit; after a reset it plays again as if new.
TEST_P(PlayingChainTest, FollowsTheDirectPassWithTheDiscMovedAcrossEachRamp) {
    const PlayCase& c = GetParam();
    const std::vector<double> input = musicInput(c.frames, c.channels, 3u);
    const std::int64_t lag = chainLagFrames(c.sampleRate, 1e-4);
    StreamingChain chain(reservedSettings(c, lag));
    const std::vector<double> expected = expectedOutput(c, input);
    expectSameBits(expected, play(chain, c, input), "first run");
    chain.reset(c.disc);
    expectSameBits(expected, play(chain, c, input), "after a reset");
    // An unreserved chain with several threads makes the same changes the same way.
    ChainSettings settings = reservedSettings(c, 0);
    settings.reservedBlockFrames = 0;
    settings.threadCount = 2;
    StreamingChain plain(settings);
    expectSameBits(expected, play(plain, c, input), "unreserved, two threads");
}

INSTANTIATE_TEST_SUITE_P(Cases, PlayingChainTest, ::testing::ValuesIn(playCases()),
                         [](const ::testing::TestParamInfo<PlayCase>& info) {
                             return std::string(info.param.name);
                         });

// A change that would rewrite what has been played, or that is not a change, is refused and
// leaves the output as it was.
TEST(PlayingChain, RefusesChangesItCannotMakeAndPlaysOnUnchanged) {
    const PlayCase c{"Refused", 800, 2, 44100, {k33, 100, 0.05, 2}, {}, 64};
    const std::vector<double> input = musicInput(c.frames, c.channels, 5u);
    const DiscParameters other{45, 60, 0.1, -10};
    struct Refusal {
        const char* name;
        std::int64_t fromFrame;
        std::int64_t rampFrames;
        bool afterFinish = false;
    };
    for (const Refusal& refusal :
         {Refusal{"a frame already pushed", 63, 64}, Refusal{"an empty ramp", 64, 0},
          Refusal{"a reversed ramp", 64, -5}, Refusal{"after the end", 800, 64, true}}) {
        SCOPED_TRACE(refusal.name);
        StreamingChain chain(reservedSettings(c, chainLagFrames(c.sampleRate, 1e-4)));
        std::vector<double> output(static_cast<std::size_t>(c.frames * c.channels));
        chain.pushFrames(input.data(), 64);
        if (refusal.afterFinish) {
            chain.pushFrames(input.data() + 128, c.frames - 64);
            chain.finish();
        }
        EXPECT_FALSE(chain.changeDisc(refusal.fromFrame, refusal.rampFrames, other));
        if (!refusal.afterFinish) {
            chain.pushFrames(input.data() + 128, c.frames - 64);
            chain.finish();
        }
        ASSERT_EQ(chain.pullFrames(output.data(), c.frames), c.frames);
        if (!refusal.afterFinish) {
            expectSameBits(expectedOutput(c, input), output, refusal.name);
        }
    }
    // A second change may not start inside the first one's ramp.
    StreamingChain chain(reservedSettings(c, chainLagFrames(c.sampleRate, 1e-4)));
    EXPECT_TRUE(chain.changeDisc(100, 64, other));
    EXPECT_FALSE(chain.changeDisc(163, 64, c.disc));
    EXPECT_TRUE(chain.changeDisc(164, 64, c.disc));
    // A side whose arm moves across it has no disc to change.
    ChainSettings side = reservedSettings(c, 0);
    side.moving = true;
    side.path.fromRadius = 140;
    side.path.toRadius = 60;
    side.path.frameCount = c.frames;
    side.path.arm.fixedAngleDegrees = 2;
    StreamingChain moving(side);
    EXPECT_FALSE(moving.changeDisc(100, 64, other));
}

// The stylus model keeps the geometry it was set up with: a change is refused, and a reset plays
// both components again as if new.
TEST(PlayingChain, StylusModelRefusesChangesAndPlaysAgainAfterAReset) {
    const PlayCase c{"Stylus", 1200, 2, 44100, {k33, 100, 0.05, 2}, {}, 64};
    const std::vector<double> input = musicInput(c.frames, c.channels, 7u);
    ChainSettings settings = reservedSettings(c, chainLagFrames(c.sampleRate, 1e-4));
    settings.model = PickupModel::Stylus;
    settings.stylus = StylusAngles{25.0, 20.0};
    StreamingChain chain(settings);
    EXPECT_FALSE(chain.changeDisc(0, 64, DiscParameters{45, 60, 0.1, -10}));
    const std::vector<double> first = play(chain, c, input);
    ASSERT_EQ(first.size(), input.size());
    chain.reset(c.disc);
    expectSameBits(first, play(chain, c, input), "after a reset");
    // It is not the lateral model's output: the side moved too.
    EXPECT_NE(first, expectedOutput(c, input));
}

// The gain bounds hold for the inputs that come nearest them, and are not loose: the lag they
// give sizes the plugin's latency.
TEST(GainBounds, HoldForTheWorstInputsAndLieCloseAboveThem) {
    for (const int rate : {32000, 44100, 96000, 192000}) {
        SCOPED_TRACE(rate);
        const double bound = lateralFilterGainBound(rate, LateralDirection::Recording);
        // The input whose signs follow the impulse response backwards reaches sum |g| at its end;
        // two seconds let the slowest section settle.
        std::vector<double> impulse(static_cast<std::size_t>(2 * rate), 0.0);
        impulse[0] = 1.0;
        const std::vector<double> response = referenceFilterLateral(impulse, rate);
        std::vector<double> worst(response.size());
        for (std::size_t k = 0; k < worst.size(); ++k) {
            worst[k] = response[worst.size() - 1 - k] < 0 ? -1.0 : 1.0;
        }
        const std::vector<double> out = referenceFilterLateral(worst, rate);
        double peak = 0.0;
        for (const double v : out) {
            peak = std::max(peak, std::fabs(v));
        }
        EXPECT_LE(peak, bound);
        EXPECT_GE(peak, bound * (1 - 1e-5)) << "the bound is loose";
    }
    // The upsampler: the input whose signs follow the joint response's largest phase backwards.
    const double bound = upsamplerGainBound(projectCoefficients());
    std::vector<double> impulse(200, 0.0);
    impulse[0] = 1.0;
    const std::vector<double> response = referenceUpsampleFourStages(impulse, projectTapLists());
    std::size_t phase = 0;
    double largest = 0.0;
    for (std::size_t p = 0; p < 144; ++p) {
        double sum = 0.0;
        for (std::size_t k = p; k < response.size(); k += 144) {
            sum += std::fabs(response[k]);
        }
        if (sum > largest) {
            largest = sum;
            phase = p;
        }
    }
    constexpr std::size_t kLast = 170;  // past the response's 146 input samples
    std::vector<double> worst(kLast + 1, 0.0);
    for (std::size_t m = 0; m <= kLast; ++m) {
        const std::size_t at = phase + 144 * (kLast - m);
        worst[m] = at < response.size() && response[at] < 0 ? -1.0 : 1.0;
    }
    const std::vector<double> high = referenceUpsampleFourStages(worst, projectTapLists());
    ASSERT_GT(high.size(), phase + 144 * kLast);
    const double reached = std::fabs(high[phase + 144 * kLast]);
    EXPECT_LE(reached, bound);
    EXPECT_GE(reached, bound * (1 - 1e-6)) << "the bound is loose";
    for (const double v : high) {
        ASSERT_LE(std::fabs(v), bound);
    }
}

// However the input lies within the bound the gains give, the output trails the input by no more
// than chainLagFrames says for the largest timing error; a constant input, which both filters pass
// whole, comes within a few frames of what it says for that input's own timing error.
TEST(ChainLag, StaysWithinTheBoundForTheLargestTimingError) {
    for (const int rate : {32000, 44100, 96000, 192000}) {
        SCOPED_TRACE(rate);
        const DiscParameters disc{k33, 50, 0.2, 45};
        const double gain = lateralFilterGainBound(rate, LateralDirection::Recording) *
                            upsamplerGainBound(projectCoefficients());
        const double largest = 4 * 32768.0;
        const double displacement = largest / 32768 * gain * disc.fullScaleLateralAmplitude;
        const double perMillimetre = std::tan(disc.trackingErrorDegrees * M_PI / 180) /
                                     grooveVelocityAt(disc.grooveRadius, disc.revolutionsPerMinute);
        const std::int64_t lag = chainLagFrames(rate, displacement * perMillimetre * (1 + 1e-9));
        const std::int64_t constantLag =
            chainLagFrames(rate, largest / 32768 * disc.fullScaleLateralAmplitude * perMillimetre);
        // A constant input at the limit: the groove settles there (the recording filter passes
        // a constant whole), which moves every sample the same way, late.
        const std::int64_t frames = 4 * rate;
        const std::vector<double> input(static_cast<std::size_t>(2 * frames), largest);
        PlayCase c{"Lag", frames, 2, rate, disc, {}, 64};
        StreamingChain chain(reservedSettings(c, lag));
        std::int64_t largestLag = 0;
        play(chain, c, input, &largestLag);
        EXPECT_LE(largestLag, lag);
        EXPECT_GE(largestLag, constantLag - 3);
    }
}

}  // namespace
