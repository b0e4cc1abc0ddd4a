// Writes the inputs the render bench times, so that every machine times the same material:
//
//   cartrivex_bench_input pink|treble RATE BITS SECONDS PATH
//
// The material is described in bench_material.hpp; it is made from fixed seeds, so the file is
// the same on every run. BITS is 16 or 24.

#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_material.hpp"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: cartrivex_bench_input pink|treble RATE BITS SECONDS PATH\n");
        return 2;
    }
    const std::string kind = argv[1];
    const int rate = std::atoi(argv[2]);
    const int bits = std::atoi(argv[3]);
    const long seconds = std::atol(argv[4]);
    const long frames = seconds * rate;
    std::vector<double> samples;
    if (rate < 8000 || (bits != 16 && bits != 24) || seconds <= 0 ||
        !benchMaterial(kind, rate, frames, samples)) {
        std::fprintf(stderr, "cartrivex_bench_input: bad arguments\n");
        return 2;
    }

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
