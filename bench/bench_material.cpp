#include "bench/bench_material.hpp"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<double> pinkNoise(long frames) {
    std::vector<double> samples(static_cast<std::size_t>(2 * frames));
    std::mt19937 random(1941);
    std::uniform_real_distribution<double> white(-1.0, 1.0);
    for (int channel = 0; channel < 2; ++channel) {
        double b0 = 0, b1 = 0, b2 = 0;
        for (long i = 0; i < frames; ++i) {
            const double w = white(random);
            b0 = 0.99765 * b0 + w * 0.0990460;
            b1 = 0.96300 * b1 + w * 0.2965164;
            b2 = 0.57000 * b2 + w * 1.0526913;
            samples[static_cast<std::size_t>(2 * i + channel)] = b0 + b1 + b2 + w * 0.1848;
        }
    }
    return samples;
}

std::vector<double> treblePiece(int rate, long frames) {
    std::vector<double> samples(static_cast<std::size_t>(2 * frames));
    std::mt19937 random(1949);
    std::uniform_real_distribution<double> white(-1.0, 1.0);
    const double chord[] = {440.0, 554.365, 659.255, 880.0};
    const double bass[] = {55.0, 73.416, 82.407, 65.406};
    double chordPhase[4] = {0, 0, 0, 0};
    double bassPhase = 0;
    for (long i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double vibrato = 1.0 + 0.006 * std::sin(2 * kPi * 5.5 * t);
        double chordSum = 0;
        for (int k = 0; k < 4; ++k) {
            chordPhase[k] += 2 * kPi * chord[k] * vibrato / rate;
            // A bright tone: the fundamental and four overtones falling 6 dB each.
            for (int h = 1; h <= 5; ++h)
                chordSum += std::sin(h * chordPhase[k]) / (1 << (h - 1));
        }
        const double note = bass[static_cast<long>(t * 2) % 4];
        bassPhase += 2 * kPi * note / rate;
        const double bassTone =
            std::sin(bassPhase) + 0.5 * std::sin(2 * bassPhase) + 0.25 * std::sin(3 * bassPhase);
        const double tone = std::sin(2 * kPi * 9000.0 * t);
        const double left = 0.12 * chordSum + 0.5 * bassTone + 0.15 * tone + 0.01 * white(random);
        const double right = 0.10 * chordSum + 0.6 * bassTone + 0.12 * tone + 0.01 * white(random);
        samples[static_cast<std::size_t>(2 * i)] = left;
        samples[static_cast<std::size_t>(2 * i + 1)] = right;
    }
    return samples;
}

}  // namespace

bool benchMaterial(const std::string& kind, int rate, long frames, std::vector<double>& samples) {
    if (kind != "pink" && kind != "treble") {
        return false;
    }
    samples = kind == "pink" ? pinkNoise(frames) : treblePiece(rate, frames);
    double peak = 0;
    for (double s : samples)
        peak = std::max(peak, std::fabs(s));
    const double target = std::pow(10.0, (kind == "pink" ? -6.0 : -3.0) / 20.0);
    for (double& s : samples)
        s *= target / peak;
    return true;
}
