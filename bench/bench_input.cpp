// Writes the inputs the render bench times, so that every machine times the same material:
//
//   cartrivex_bench_input pink|treble RATE BITS SECONDS PATH
//
// pink    stereo pink noise (white noise through Paul Kellet's three-pole filter), the two
//         channels independent, scaled so that the larger peak is -6 dBFS;
// treble  a treble-rich piece: an A major chord with a 5.5 Hz vibrato, a bass line of four
//         notes with their overtones, a steady 9 kHz tone and white noise about 40 dB down,
//         mixed differently into the two channels and scaled to a peak of -3 dBFS.
// Both are made from a fixed seed, so the file is the same on every run. BITS is 16 or 24.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: cartrivex_bench_input pink|treble RATE BITS SECONDS PATH\n");
        return 2;
    }
    const std::string kind = argv[1];
    const int rate = std::atoi(argv[2]);
    const int bits = std::atoi(argv[3]);
    const long seconds = std::atol(argv[4]);
    if ((kind != "pink" && kind != "treble") || rate < 8000 || (bits != 16 && bits != 24) ||
        seconds <= 0) {
        std::fprintf(stderr, "cartrivex_bench_input: bad arguments\n");
        return 2;
    }
    const long frames = seconds * rate;
    std::vector<double> samples = kind == "pink" ? pinkNoise(frames) : treblePiece(rate, frames);
    double peak = 0;
    for (double s : samples)
        peak = std::max(peak, std::fabs(s));
    const double target = std::pow(10.0, (kind == "pink" ? -6.0 : -3.0) / 20.0);
    for (double& s : samples)
        s *= target / peak;

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SNDFILE* file = sf_open(argv[5], SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "cartrivex_bench_input: %s: %s\n", argv[5], sf_strerror(nullptr));
        return 1;
    }
    const sf_count_t written = sf_writef_double(file, samples.data(), frames);
    if (sf_close(file) != 0 || written != frames) {
        std::fprintf(stderr, "cartrivex_bench_input: %s: cannot write\n", argv[5]);
        return 1;
    }
    return 0;
}
