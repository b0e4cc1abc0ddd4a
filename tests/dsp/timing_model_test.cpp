#include "dsp/timing_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "dsp/extended.hpp"
#include "dsp/groove_path.hpp"
#include "dsp/tonearm.hpp"
#include "tests/reference/reference_tracking.hpp"

namespace {

// The direct geometry of index j on a path: the radius of its nominal time, the arm's error there.
GrooveGeometry directGeometry(const GroovePath& path, std::int64_t j) {
    const std::int64_t span = 144 * (path.frameCount - 1);
    const double fraction =
        std::clamp(static_cast<double>(j - 10447) / static_cast<double>(span), 0.0, 1.0);
    const double radius = path.fromRadius + (path.toRadius - path.fromRadius) * fraction;
    const DiscParameters disc{path.revolutionsPerMinute, radius, 0.0,
                              trackingErrorDegrees(path.arm, radius)};
    return referenceGrooveGeometry(disc, path.sampleRate);
}

Tonearm pivotedArm(double length, double distance, double offset) {
    Tonearm arm;
    arm.kind = Tonearm::Kind::Pivoted;
    arm.effectiveLength = length;
    arm.pivotToSpindle = distance;
    arm.offsetDegrees = offset;
    return arm;
}

struct MovingCase {
    const char* name;
    Tonearm arm;
    double from;
    double to;
    double seconds;   // the side's length
    double position;  // where along it the first run lies, 0 to 1
    double amplitude;
    int sampleRate;
};

const std::vector<MovingCase>& movingCases() {
    static const Tonearm lofgren = pivotedArm(239.3, 222, 23.5);
    static const Tonearm shortArm = pivotedArm(150, 135, 30);
    static const Tonearm fixed = [] {
        Tonearm arm;
        arm.fixedAngleDegrees = -2.5;
        return arm;
    }();
    static const std::vector<MovingCase> cases = {
        {"a minute, outer end", lofgren, 146.05, 60.325, 60, 0.0, 0.05, 44100},
        {"a minute, outer null", lofgren, 146.05, 60.325, 60, 0.293, 0.05, 44100},
        {"a minute, inner null", lofgren, 146.05, 60.325, 60, 0.93, 0.2, 44100},
        {"a minute, inner end", lofgren, 146.05, 60.325, 60, 1.0, 0.05, 96000},
        {"twenty minutes, middle", lofgren, 146.05, 60.325, 1200, 0.5, 0.08, 44100},
        {"short arm, inside out", shortArm, 57.5, 146.05, 300, 0.4, 0.05, 192000},
        {"fixed angle", fixed, 146.05, 60.325, 60, 0.7, 0.05, 44100},
        {"a second across the side", lofgren, 146.05, 60.325, 1, 0.5, 0.05, 44100},
    };
    return cases;
}

GroovePath pathOf(const MovingCase& c) {
    GroovePath path;
    path.arm = c.arm;
    path.fromRadius = c.from;
    path.toRadius = c.to;
    path.revolutionsPerMinute = 100.0 / 3;
    path.sampleRate = c.sampleRate;
    path.frameCount = static_cast<std::int64_t>(c.seconds * c.sampleRate);
    return path;
}

// On a moving side each index takes the tangent and velocity of its own radius: the corrected time
// is the direct one bit for bit, over runs of consecutive indices and jumps between them, values
// of every magnitude and zeros of both signs, in both directions, on one thread and on several at
// once.
TEST(TimingModelMoving, CorrectedTimeIsTheDirectOneBitForBit) {
    const auto check = [](const MovingCase& c, unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        std::uniform_int_distribution<int> exponent(-30, 15);
        const GroovePath path = pathOf(c);
        const std::int64_t span = 144 * (path.frameCount - 1);
        std::int64_t mismatches = 0;
        for (const TimingDirection direction : {TimingDirection::Play, TimingDirection::Undo}) {
            const TimingModel timing(c.amplitude, path, direction);
            const double sign = direction == TimingDirection::Undo ? -1.0 : 1.0;
            for (int run = 0; run < 6; ++run) {
                const double position = run == 0 ? c.position : (unit(random) + 1.0) / 2;
                const std::int64_t first =
                    10447 + static_cast<std::int64_t>(position * static_cast<double>(span - 4000));
                for (std::int64_t j = first; j < first + 4000; j += 1 + (j % 3)) {
                    double value = unit(random) * std::ldexp(1.0, exponent(random));
                    if (j % 97 == 0) {
                        value = j % 2 == 0 ? 0.0 : -0.0;
                    }
                    GrooveGeometry geometry = directGeometry(path, j);
                    geometry.trackingTangent *= sign;
                    const double direct = referenceCorrectedTimeOf(value, j, c.amplitude, geometry);
                    const double fast = timing.correctedTime(value, j);
                    mismatches +=
                        std::bit_cast<std::uint64_t>(direct) != std::bit_cast<std::uint64_t>(fast);
                }
            }
        }
        return mismatches;
    };
    for (const MovingCase& c : movingCases()) {
        EXPECT_EQ(check(c, 41u), 0) << c.name;
    }
    std::vector<std::int64_t> counts(4, -1);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < counts.size(); ++t) {
        threads.emplace_back([&, t] {
            std::int64_t total = 0;
            for (const MovingCase& c : movingCases()) {
                total += check(c, 100u + static_cast<unsigned>(t));
            }
            counts[t] = total;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counts, std::vector<std::int64_t>(counts.size(), 0));
}

}  // namespace
