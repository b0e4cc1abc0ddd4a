// Writes the bundled sample input: ten seconds of 16-bit stereo PCM at 44100 Hz in a canonical
// 44-byte wave header. The music is synthesised here: a bowed pad of two voices under a plucked
// arpeggio, four chords in just intonation, each voice placed somewhere between the loudspeakers,
// faded in and out, with its peak at about -3 dBFS.
//
//   make_sample <path>
//
// Everything is integer arithmetic, the sine table included, so the file is the same byte for
// byte on every machine. The exit code is 0 when the file was written completely.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kFrames = 441000;  // ten seconds
constexpr int kChannels = 2;
constexpr int kBits = 16;
constexpr std::int64_t kPeakTarget = 23198;  // 32768 * 10^(-3/20), rounded

// ---------------------------------------------------------------------------------------------
// Sine table: 4096 steps per turn (and one more, for interpolation), in units of 2^-30.

constexpr int kTableBits = 12;
constexpr int kTableSize = 1 << kTableBits;
constexpr int kOne = 1 << 30;

using Wide = __int128;
using WideUnsigned = unsigned __int128;
constexpr int kFine = 62;  // fraction bits while the table is built

WideUnsigned squareRoot(WideUnsigned value) {
    WideUnsigned root = 0;
    WideUnsigned bit = static_cast<WideUnsigned>(1) << 126;
    while (bit > value) {
        bit >>= 2;
    }
    while (bit != 0) {
        if (value >= root + bit) {
            value -= root + bit;
            root = (root >> 1) + bit;
        } else {
            root >>= 1;
        }
        bit >>= 2;
    }
    return root;
}

Wide roundedShift(Wide value, int bits) {
    return (value + (static_cast<Wide>(1) << (bits - 1))) >> bits;
}

// The angle of one step, 2 pi / 4096, comes from a quarter turn by ten halvings
// (cos(x/2) = sqrt((1 + cos x) / 2), sin(x/2) = sin x / (2 cos(x/2))); the quarter wave then
// follows by rotation and the rest by symmetry.
std::vector<std::int32_t> makeSineTable() {
    const Wide one = static_cast<Wide>(1) << kFine;
    Wide c = 0;
    Wide s = one;
    for (int halving = 0; halving < kTableBits - 2; ++halving) {
        const Wide half = (one + c) / 2;
        const Wide cosine = static_cast<Wide>(squareRoot(static_cast<WideUnsigned>(half) << kFine));
        s = (s << kFine) / (2 * cosine);
        c = cosine;
    }
    const int quarter = kTableSize / 4;
    std::vector<Wide> quarterWave(quarter + 1);
    Wide x = one;  // cosine of the current angle
    Wide y = 0;    // its sine
    for (int i = 0; i <= quarter; ++i) {
        quarterWave[i] = y;
        const Wide nextX = roundedShift(x * c - y * s, kFine);
        const Wide nextY = roundedShift(y * c + x * s, kFine);
        x = nextX;
        y = nextY;
    }
    quarterWave[quarter] = one;  // exact at the quarter turn
    std::vector<std::int32_t> table(kTableSize + 1);
    for (int i = 0; i <= kTableSize; ++i) {
        const int inTurn = i % kTableSize;
        const int inHalf = inTurn % (kTableSize / 2);
        const int mirrored = inHalf <= quarter ? inHalf : kTableSize / 2 - inHalf;
        const auto value =
            static_cast<std::int32_t>(roundedShift(quarterWave[mirrored], kFine - 30));
        table[i] = inTurn < kTableSize / 2 ? value : -value;
    }
    return table;
}

// Sine of a 32-bit phase (a whole turn is 2^32), linearly interpolated, in units of 2^-30.
std::int64_t sine(const std::vector<std::int32_t>& table, std::uint32_t phase) {
    const std::uint32_t index = phase >> (32 - kTableBits);
    const std::int64_t fraction = (phase >> (32 - kTableBits - 16)) & 0xFFFF;
    const std::int64_t low = table[index];
    const std::int64_t high = table[index + 1];
    return low + (((high - low) * fraction) >> 16);
}

// ---------------------------------------------------------------------------------------------
// Voices

// A frequency as a fraction of hertz, so that just intervals stay exact.
struct Pitch {
    std::int64_t numerator;
    std::int64_t denominator;
};

// Phase step per sample for a pitch times a harmonic number.
std::uint32_t phaseStep(Pitch pitch, int harmonic) {
    const WideUnsigned turn = static_cast<WideUnsigned>(1) << 32;
    return static_cast<std::uint32_t>(turn * static_cast<WideUnsigned>(pitch.numerator * harmonic) /
                                      static_cast<WideUnsigned>(pitch.denominator * kRate));
}

Pitch interval(Pitch root, std::int64_t numerator, std::int64_t denominator) {
    return {root.numerator * numerator, root.denominator * denominator};
}

// Per-sample factor, in units of 2^-30, that halves a level in `samples` samples: 1 - ln 2 / n
// to first order, which is as good as a decay needs to be.
std::int64_t halvingFactor(std::int64_t samples) {
    return kOne - static_cast<std::int64_t>(kOne) * 693147 / (1000000 * samples);
}

// Left and right gains, in units of 2^-15, for a place from 0 (left) to 64 (right) at equal
// power: cos and sin of a quarter turn's share.
void panGains(const std::vector<std::int32_t>& table, int place, std::int64_t& left,
              std::int64_t& right) {
    const std::uint32_t phase = static_cast<std::uint32_t>(place) << 24;  // 64 places: 1/4 turn
    right = sine(table, phase) >> 15;
    left = sine(table, phase + (1u << 30)) >> 15;
}

using Mix = std::vector<std::int64_t>;  // interleaved left, right, in units of 2^-30

// A plucked string: harmonics 1..8 at 1/n, the higher ones dying away sooner, a 4 ms attack.
void pluck(const std::vector<std::int32_t>& table, Mix& mix, int start, int length, Pitch pitch,
           int place, std::int64_t level) {
    constexpr int kHarmonics = 8;
    std::int64_t left = 0;
    std::int64_t right = 0;
    panGains(table, place, left, right);
    std::uint32_t phase[kHarmonics] = {};
    std::uint32_t step[kHarmonics];
    std::int64_t envelope[kHarmonics];
    std::int64_t decay[kHarmonics];
    for (int h = 0; h < kHarmonics; ++h) {
        step[h] = phaseStep(pitch, h + 1);
        envelope[h] = kOne / (h + 1);
        decay[h] = halvingFactor(kRate / (3 * (h + 1)) + 400);
    }
    const int attack = kRate / 250;
    for (int i = 0; i < length && start + i < kFrames; ++i) {
        std::int64_t value = 0;
        for (int h = 0; h < kHarmonics; ++h) {
            if (phaseStep(pitch, h + 1) >= (1u << 31)) {
                continue;  // above the Nyquist frequency
            }
            value += (sine(table, phase[h]) * (envelope[h] >> 8)) >> 22;
            phase[h] += step[h];
            envelope[h] = (envelope[h] * decay[h]) >> 30;
        }
        if (i < attack) {
            value = value * i / attack;
        }
        const int tail = length - i;  // a short release so the note ends without a click
        if (tail < attack) {
            value = value * tail / attack;
        }
        value = value * level >> 8;
        mix[2 * (start + i)] += value * left >> 15;
        mix[2 * (start + i) + 1] += value * right >> 15;
    }
}

// A bowed tone: a saw-like spectrum (harmonics 1..12 at 1/n), a slow swell and release, and a
// gentle vibrato of about 5 Hz.
void bow(const std::vector<std::int32_t>& table, Mix& mix, int start, int length, Pitch pitch,
         int place, std::int64_t level) {
    constexpr int kHarmonics = 12;
    std::int64_t left = 0;
    std::int64_t right = 0;
    panGains(table, place, left, right);
    std::uint32_t phase[kHarmonics] = {};
    const std::uint32_t vibratoStep = phaseStep({5, 1}, 1);
    std::uint32_t vibratoPhase = 0;
    const int swell = kRate * 2 / 5;
    const int release = kRate / 2;
    for (int i = 0; i < length && start + i < kFrames; ++i) {
        // The vibrato bends every harmonic by up to 1/256 of its step (about 7 cents).
        const std::int64_t bend = sine(table, vibratoPhase) >> 22;  // -256 .. 256
        vibratoPhase += vibratoStep;
        std::int64_t value = 0;
        for (int h = 0; h < kHarmonics; ++h) {
            const std::int64_t base = phaseStep(pitch, h + 1);
            if (base >= (1 << 30)) {
                continue;  // keep every harmonic well below the Nyquist frequency
            }
            value += sine(table, phase[h]) / (h + 1);
            phase[h] += static_cast<std::uint32_t>(base + ((base * bend) >> 16));
        }
        std::int64_t envelope = 256;
        if (i < swell) {
            envelope = 256 * static_cast<std::int64_t>(i) / swell;
        }
        if (length - i < release) {
            envelope = envelope * (length - i) / release;
        }
        value = (value * envelope >> 8) * level >> 8;
        mix[2 * (start + i)] += value * left >> 15;
        mix[2 * (start + i) + 1] += value * right >> 15;
    }
}

Mix compose(const std::vector<std::int32_t>& table) {
    Mix mix(static_cast<std::size_t>(kFrames) * kChannels, 0);
    const Pitch a{220, 1};
    // A - F#m - D - E, each 2.5 seconds: the chord tones over A, in just ratios.
    struct Chord {
        Pitch root;
        Pitch third;
        Pitch fifth;
    };
    const Chord chords[] = {
        {a, interval(a, 5, 4), interval(a, 3, 2)},                    // A
        {interval(a, 5, 6), interval(a, 1, 1), interval(a, 5, 4)},    // F#m
        {interval(a, 2, 3), interval(a, 5, 6), interval(a, 1, 1)},    // D
        {interval(a, 3, 4), interval(a, 15, 16), interval(a, 9, 8)},  // E
    };
    const int chordLength = kFrames / 4;
    const int eighth = kRate / 4;  // 120 beats a minute
    for (int c = 0; c < 4; ++c) {
        const Chord& chord = chords[c];
        const int start = c * chordLength;
        // The pad: root low on the left, fifth on the right, overlapping into the next chord.
        bow(table, mix, start, chordLength + kRate / 4, interval(chord.root, 1, 2), 18, 150);
        bow(table, mix, start, chordLength + kRate / 4, chord.fifth, 46, 110);
        // The arpeggio an octave up: root, third, fifth, octave, fifth, third, ... moving across.
        const Pitch up[] = {interval(chord.root, 2, 1), interval(chord.third, 2, 1),
                            interval(chord.fifth, 2, 1), interval(chord.root, 4, 1)};
        const int pattern[] = {0, 1, 2, 3, 2, 1, 2, 1, 0, 1};
        for (int n = 0; n < chordLength / eighth; ++n) {
            const int place = 8 + 48 * (n % 5) / 4;  // from left of centre to right and back
            pluck(table, mix, start + n * eighth, eighth * 3, up[pattern[n % 10]], place,
                  n % 2 == 0 ? 200 : 160);
        }
    }
    // One low pluck on each chord's first beat, in the middle.
    for (int c = 0; c < 4; ++c) {
        pluck(table, mix, c * chordLength, kRate * 2, interval(chords[c].root, 1, 2), 32, 230);
    }
    return mix;
}

// Fades in over half a second and out over the last second and a half, then scales the whole
// to the peak target, rounding to nearest.
std::vector<std::int16_t> finish(Mix& mix) {
    const int fadeIn = kRate / 2;
    const int fadeOut = kRate * 3 / 2;
    std::int64_t peak = 1;
    for (int i = 0; i < kFrames; ++i) {
        for (int ch = 0; ch < kChannels; ++ch) {
            std::int64_t& value = mix[2 * i + ch];
            if (i < fadeIn) {
                value = value * i / fadeIn;
            }
            if (kFrames - i < fadeOut) {
                value = value * (kFrames - i) / fadeOut;
            }
            const std::int64_t magnitude = value < 0 ? -value : value;
            if (magnitude > peak) {
                peak = magnitude;
            }
        }
    }
    std::vector<std::int16_t> samples(mix.size());
    for (std::size_t i = 0; i < mix.size(); ++i) {
        const Wide scaled = static_cast<Wide>(mix[i]) * kPeakTarget;
        const Wide half = peak / 2;
        const Wide rounded = scaled >= 0 ? (scaled + half) / peak : -((-scaled + half) / peak);
        samples[i] = static_cast<std::int16_t>(rounded);
    }
    return samples;
}

// ---------------------------------------------------------------------------------------------
// File

void putLittleEndian(std::string& bytes, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::string waveFile(const std::vector<std::int16_t>& samples) {
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::string bytes;
    bytes.reserve(44 + dataBytes);
    bytes += "RIFF";
    putLittleEndian(bytes, 36 + dataBytes, 4);
    bytes += "WAVE";
    bytes += "fmt ";
    putLittleEndian(bytes, 16, 4);                             // format chunk size
    putLittleEndian(bytes, 1, 2);                              // PCM
    putLittleEndian(bytes, kChannels, 2);                      // channels
    putLittleEndian(bytes, kRate, 4);                          // frames per second
    putLittleEndian(bytes, kRate * kChannels * kBits / 8, 4);  // bytes per second
    putLittleEndian(bytes, kChannels * kBits / 8, 2);          // bytes per frame
    putLittleEndian(bytes, kBits, 2);                          // bits per sample
    bytes += "data";
    putLittleEndian(bytes, dataBytes, 4);
    for (const std::int16_t sample : samples) {
        putLittleEndian(bytes, static_cast<std::uint16_t>(sample), 2);
    }
    return bytes;
}

// Writes beside the target and renames, so a failed run never leaves a half-written file.
bool writeFileReplacing(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".partial";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "make_sample: cannot create %s: %s\n", temporary.c_str(),
                     std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "make_sample: cannot write %s: %s\n", temporary.c_str(),
                     std::strerror(written ? errno : writeError));
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "make_sample: cannot replace %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: make_sample <path>   write the sample wave file\n");
        return 2;
    }
    const std::vector<std::int32_t> table = makeSineTable();
    Mix mix = compose(table);
    const std::vector<std::int16_t> samples = finish(mix);
    if (!writeFileReplacing(argv[1], waveFile(samples))) {
        return 1;
    }
    std::int32_t peak = 0;
    for (const std::int16_t sample : samples) {
        peak = std::max(peak, sample < 0 ? -static_cast<std::int32_t>(sample)
                                         : static_cast<std::int32_t>(sample));
    }
    std::printf("wrote %s: %d frames, 2 channels, 44100 Hz, 16 bits, peak %d\n", argv[1], kFrames,
                peak);
    return 0;
}
