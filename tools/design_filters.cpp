// Designs the four interpolation filters of the 144-fold upsampler (factors 2, 3, 4, 6 from
// 44.1 kHz to 6.3504 MHz), writes them as coefficient files and measures them as the program
// reads them back.
//
//   design_filters <folder>          writes filter1.dat .. filter4.dat there, then measures them
//   design_filters --check <folder>  only measures the files found there
//
// Stages 1 to 3 are Kaiser-windowed sincs with their cutoff at half the stage's input rate, so
// every M-th tap away from the centre is exactly zero and the centre is 1/M: the samples at the
// input instants pass unchanged. Stage 4 is a comb design (see combSide) that puts zeros on its
// images, which are narrow bands far above the audio band, and needs 39 taps where a windowed
// sinc of the same depth needs 63 nonzero ones. The taps are computed in extended precision with
// nothing but the four operations and square roots, so the files come out the same byte for byte on
// every machine. After rounding to doubles a few taps move by some units in their last place, so
// that the taps sum to exactly 1 whether added up exactly, in doubles or in extended precision, tap
// 0 first.
//
// The exit code is 0 only when every file was written (or found) intact and every figure meets
// its target.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "dsp/coefficient_file.hpp"
#include "dsp/upsample_design.hpp"

namespace {

constexpr long double kPi = 3.141592653589793238462643383279502884L;

constexpr long double kInputRate = 44100.0L;
constexpr long double kAudioBand = 20000.0L;       // passband edge and image half-width
constexpr long double kFlatnessTarget = 0.00001L;  // dB, cascade over 0 .. kAudioBand
constexpr long double kImageTarget = -140.0L;      // dB, cascade over every image band
constexpr double kSumTolerance = 0x1p-52;          // |sum - 1|, in doubles and in extended
constexpr long double kGridStep = 10.0L;           // Hz, the search grid before refinement
constexpr long double kRefineWithin = 3.0L;        // dB below the grid worst still refined
constexpr int kSumTrials = 1000000;                // sets of moves tried at most per stage
constexpr double kLargestMove = 0x1p-52;           // most a tap moves in the second sum search

struct Stage {
    const char* file;
    int taps;
    int centre;  // the delay: taps are symmetric about it
    int factor;
    long double outputRate;
    long double halfWidth;  // of the Kaiser window, in taps
    long double beta;
    int combOrder;  // 0 for a windowed sinc; else the order of the comb design below
};

// The window spans an odd number of taps around the centre, 257, 67 and 59, and reaches 0
// half a tap beyond its ends (the half-width is half the span). Stage 1's span includes the two
// outermost offsets -128 and +128, which fall on zeros of the sinc: tap 0 is 0 and the file has
// no room for +128. Stage 1 has the narrowest transition band and sets the cascade's worst image;
// the spans of stages 2 and 3 are the shortest whose own worst image is no shallower than that,
// since every tap costs time in the upsampler and the taps outside the span are 0. Each beta came
// from scanning in steps of 0.01 and keeping the value with the deepest worst case over the image
// bands the stage removes (see measureStage). The tap counts and delays are fixed by the program.
// Stage 4 is the comb design instead, of order 6 (see combSide); its worst image is deeper
// than stage 1's.
struct StageDesign {
    long double halfWidth;
    long double beta;
    int combOrder;
};
constexpr StageDesign kDesigns[] = {
    {128.5L, 18.78L, 0},
    {33.5L, 19.17L, 0},
    {29.5L, 19.78L, 0},
    {0.0L, 0.0L, 6},
};

// The files, tap counts, delays and factors are the upsampler's own stage table; the design adds
// its window or comb.
constexpr Stage stageFor(int s) {
    const UpsampleStageDesign& stage = kUpsampleStages[static_cast<std::size_t>(s)];
    long double rate = kInputRate;
    for (int k = 0; k <= s; ++k) {
        rate *= kUpsampleStages[static_cast<std::size_t>(k)].factor;
    }
    const StageDesign& design = kDesigns[s];
    return Stage{stage.coefficientFile, stage.tapCount, stage.delay,     stage.factor, rate,
                 design.halfWidth,      design.beta,    design.combOrder};
}

constexpr Stage kStages[] = {stageFor(0), stageFor(1), stageFor(2), stageFor(3)};
constexpr int kStageCount = static_cast<int>(kUpsampleStages.size());
static_assert(std::size(kDesigns) == kUpsampleStages.size());
constexpr long double kFinalRate = kInputRate * kUpsampleFactor;
constexpr int kImageBands = 72;  // k * 44.1 kHz up to the final Nyquist frequency

// ---------------------------------------------------------------------------------------------
// Design

// sin(pi * k / M) for the factors 2, 3, 4 and 6: the angle is a multiple of pi/12, where the
// sine is 0, 1/2, sqrt(2)/2, sqrt(3)/2 or 1 up to sign.
long double sineOfFraction(int k, int factor) {
    const int twelfths = (k % (2 * factor) + 2 * factor) % (2 * factor) * (12 / factor);
    int angle = twelfths % 12;  // in [0, 12): the sine's magnitude repeats every pi
    const bool negative = twelfths >= 12;
    if (angle > 6) {
        angle = 12 - angle;
    }
    long double value = 0.0L;
    switch (angle) {
        case 0:
            value = 0.0L;
            break;
        case 2:
            value = 0.5L;
            break;
        case 3:
            value = std::sqrt(2.0L) / 2.0L;
            break;
        case 4:
            value = std::sqrt(3.0L) / 2.0L;
            break;
        case 6:
            value = 1.0L;
            break;
        default:
            value = NAN;  // no other angle occurs for these factors
    }
    return negative ? -value : value;
}

// The modified Bessel function I0 by its power series, which converges fast for the betas used.
long double besselI0(long double x) {
    const long double quarterSquare = x * x / 4.0L;
    long double term = 1.0L;
    long double sum = 1.0L;
    for (int m = 1; m < 200; ++m) {
        term *= quarterSquare / (static_cast<long double>(m) * m);
        sum += term;
        if (term < sum * 0x1p-80L) {
            break;
        }
    }
    return sum;
}

long double sumInOrder(const std::vector<double>& taps) {
    long double sum = 0.0L;
    for (const double tap : taps) {
        sum += tap;
    }
    return sum;
}

double doubleSumInOrder(const std::vector<double>& taps) {
    double sum = 0.0;
    for (const double tap : taps) {
        sum += tap;
    }
    return sum;
}

// The exact sum of the taps less 1, in units of 2^-kExactScale. Every tap of these filters is a
// whole multiple of 2^-kExactScale well below 1 in size, so the 128-bit sum makes no rounding at
// all; `exact` turns false for a set of taps where that does not hold.
constexpr int kExactScale = 110;

__int128 exactSumLessOne(const std::vector<double>& taps, bool& exact) {
    exact = true;
    __int128 sum = -(static_cast<__int128>(1) << kExactScale);
    for (const double tap : taps) {
        const double scaled = std::ldexp(tap, kExactScale);
        if (!(std::fabs(tap) < 2.0) || std::trunc(scaled) != scaled) {
            exact = false;
            continue;
        }
        sum += static_cast<__int128>(scaled);
    }
    return sum;
}

long double exactToLongDouble(__int128 units) {
    const bool negative = units < 0;
    const unsigned __int128 magnitude =
        negative ? -static_cast<unsigned __int128>(units) : static_cast<unsigned __int128>(units);
    const long double high = static_cast<long double>(static_cast<std::uint64_t>(magnitude >> 64));
    const long double low = static_cast<long double>(static_cast<std::uint64_t>(magnitude));
    const long double value = std::ldexp(high, 64 - kExactScale) + std::ldexp(low, -kExactScale);
    return negative ? -value : value;
}

// How far a set of taps is from summing to 1, compared in order of importance: the sum in
// doubles tap 0 first, then the same sum in extended precision, then the exact sum.
struct SumMiss {
    double inDoubles;
    long double inExtended;
    unsigned __int128 exactly;  // in units of 2^-kExactScale

    bool operator<(const SumMiss& other) const {
        if (inDoubles != other.inDoubles) {
            return inDoubles < other.inDoubles;
        }
        if (inExtended != other.inExtended) {
            return inExtended < other.inExtended;
        }
        return exactly < other.exactly;
    }
};

SumMiss sumMiss(const std::vector<double>& taps) {
    bool exact = true;
    const __int128 units = exactSumLessOne(taps, exact);
    return {
        std::fabs(doubleSumInOrder(taps) - 1.0), std::fabs(sumInOrder(taps) - 1.0L),
        units < 0 ? -static_cast<unsigned __int128>(units) : static_cast<unsigned __int128>(units)};
}

// A stage's taps and how far the sum searches moved them from the plainly rounded design.
struct Design {
    std::vector<double> taps;
    int movedPairs = 0;
    long double largestMove = 0.0L;  // absolute, of one tap
    long double totalMove = 0.0L;    // over all taps: bounds the change of the response
    int trials = 0;                  // sets of moves the second search tried
};

std::vector<long double> convolve(const std::vector<long double>& a,
                                  const std::vector<long double>& b) {
    std::vector<long double> c(a.size() + b.size() - 1, 0.0L);
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = 0; j < b.size(); ++j) {
            c[i + j] += a[i] * b[j];
        }
    }
    return c;
}

// cos x by its power series, for the small angles of the audio band.
long double smallCosine(long double x) {
    const long double square = x * x;
    long double term = 1.0L;
    long double sum = 1.0L;
    for (int k = 1; k < 40; ++k) {
        term *= -square / static_cast<long double>((2 * k - 1) * (2 * k));
        sum += term;
    }
    return sum;
}

// One side of a comb stage, offsets 0 .. reach from the centre. The box of M taps 1/M has a zero
// on every multiple of the input rate, where the images lie; raised to the stage's order it
// removes them to far below what the other stages leave. One more pair of zeros goes on the
// first image, where the box attenuates least, a double zero on the last (the Nyquist
// frequency), and a five-tap equaliser 1 + a s + b s^2, with s = 1 - cos w, undoes the droop of
// the rest over the audio band: a and b are the least-squares fit over 400 points of the band.
std::vector<long double> combSide(const Stage& stage) {
    const int m = stage.factor;
    std::vector<long double> h{1.0L};
    const std::vector<long double> box(m, 1.0L / m);
    for (int i = 0; i < stage.combOrder; ++i) {
        h = convolve(h, box);
    }
    // 1 - 2 cos(2 pi / M) z^-1 + z^-2, scaled to a gain of 1 at DC.
    const long double sine = sineOfFraction(1, m);
    const long double cosine = 1.0L - 2.0L * sine * sine;
    const long double pairGain = 2.0L - 2.0L * cosine;
    h = convolve(h, {1.0L / pairGain, -2.0L * cosine / pairGain, 1.0L / pairGain});
    // And a double zero at the Nyquist frequency, the last image, where the equaliser's gain is
    // highest.
    h = convolve(h, {0.25L, 0.5L, 0.25L});

    // The zero-phase response of h at cos w = c: the centre plus 2 h[k] T_k(c).
    const int middle = static_cast<int>(h.size() - 1) / 2;
    auto response = [&](long double c) {
        long double previous = 1.0L;
        long double current = c;
        long double sum = h[middle];
        for (int k = 1; k <= middle; ++k) {
            sum += 2.0L * h[middle + k] * current;
            const long double next = 2.0L * c * current - previous;
            previous = current;
            current = next;
        }
        return sum;
    };
    constexpr int kPoints = 400;
    const long double edge = 2.0L * kPi * kAudioBand / stage.outputRate;
    const long double edgeS = 1.0L - smallCosine(edge);
    // Normal equations in u = s / edgeS, for the basis B u, B u^2 and the target 1 - B.
    long double g11 = 0.0L, g12 = 0.0L, g22 = 0.0L, r1 = 0.0L, r2 = 0.0L;
    for (int j = 0; j <= kPoints; ++j) {
        const long double s = 1.0L - smallCosine(edge * j / kPoints);
        const long double b = response(1.0L - s);
        const long double u = s / edgeS;
        const long double f1 = b * u;
        const long double f2 = b * u * u;
        g11 += f1 * f1;
        g12 += f1 * f2;
        g22 += f2 * f2;
        r1 += f1 * (1.0L - b);
        r2 += f2 * (1.0L - b);
    }
    const long double determinant = g11 * g22 - g12 * g12;
    const long double a = (r1 * g22 - r2 * g12) / determinant / edgeS;
    const long double b = (g11 * r2 - g12 * r1) / determinant / (edgeS * edgeS);
    h = convolve(h, {b / 4.0L, -a / 2.0L - b, 1.0L + a + 1.5L * b, -a / 2.0L - b, b / 4.0L});

    std::vector<long double> side(stage.centre + 1, 0.0L);
    const int centre = static_cast<int>(h.size() - 1) / 2;
    for (int k = 0; k <= centre && k <= stage.centre; ++k) {
        side[k] = h[centre + k];
    }
    return side;
}

// One side of a windowed-sinc stage, offsets 0 .. reach from the centre.
std::vector<long double> sincSide(const Stage& stage) {
    const int m = stage.factor;
    std::vector<long double> side(stage.centre + 1, 0.0L);
    const long double windowScale = besselI0(stage.beta);
    side[0] = 1.0L / m;
    for (int k = 1; k <= stage.centre; ++k) {
        if (k % m == 0) {
            continue;  // the sinc's zeros, kept exact
        }
        const long double sinc = sineOfFraction(k, m) / (kPi * k);
        const long double r = k / stage.halfWidth;
        const long double window =
            r < 1.0L ? besselI0(stage.beta * std::sqrt(1.0L - r * r)) / windowScale : 0.0L;
        side[k] = sinc * window;
    }
    return side;
}

Design designStage(const Stage& stage) {
    const int m = stage.factor;
    const int reach = stage.centre;  // offsets -reach .. taps-1-centre occur

    // One side of the symmetric response, offset k = 0 .. reach from the centre.
    std::vector<long double> side = stage.combOrder > 0 ? combSide(stage) : sincSide(stage);

    // Every polyphase component (the taps at one offset modulo M) must sum to 1/M, so that a
    // constant input gives a constant output and the response is exactly 0 at every multiple of
    // the input rate. The component at offset r holds the taps at +r, +r+M, ... and their mirror
    // images at -(M-r), ..., so it is scaled together with the component at M-r; the two sums are
    // one and the same set of one-sided values.
    // A comb stage has taps at every offset, so its component at offset 0 holds more than the
    // centre: the taps at +-M, +-2M, ... make up 1/M less the centre, half on each side.
    for (int r = stage.combOrder > 0 ? 0 : 1; 2 * r <= m; ++r) {
        long double sum = 0.0L;
        for (int k = 1; k <= reach; ++k) {
            if (k % m == r || k % m == m - r) {
                sum += side[k];
            }
        }
        const long double target = r == 0       ? (1.0L / m - side[0]) / 2.0L
                                   : 2 * r == m ? 1.0L / (2 * m)
                                                : 1.0L / m;
        for (int k = 1; k <= reach; ++k) {
            if (k % m == r || k % m == m - r) {
                side[k] = side[k] * target / sum;
            }
        }
    }

    std::vector<double> half(reach + 1);
    for (int k = 0; k <= reach; ++k) {
        half[k] = static_cast<double>(side[k]);
    }
    const std::vector<double> rounded = half;
    auto assemble = [&](const std::vector<double>& oneSide) {
        std::vector<double> taps(stage.taps, 0.0);
        for (int n = 0; n < stage.taps; ++n) {
            taps[n] = oneSide[std::abs(n - stage.centre)];
        }
        return taps;
    };

    // Rounding to doubles leaves the sums a few units of 2^-53 away from 1; two searches bring
    // them back. Only symmetric pairs move, never the centre or a zero, and each by a few steps
    // of its own spacing or at most kLargestMove: all moves together change the response by far
    // less than anything it can show (the figure is printed).
    //
    // First the exact sum: each round tries every pair one or two steps up or down and keeps the
    // move that brings the exact sum closest to 1, so the coarse taps take up the bulk of the
    // miss and ever finer ones the rest.
    const int outermost = stage.taps - 1 - stage.centre;  // both +k and -k exist up to here
    auto exactMiss = [&](const std::vector<double>& oneSide) {
        bool exact = true;
        const __int128 units = exactSumLessOne(assemble(oneSide), exact);
        return units < 0 ? -static_cast<unsigned __int128>(units)
                         : static_cast<unsigned __int128>(units);
    };
    unsigned __int128 exactNow = exactMiss(half);
    for (int round = 0; round < 400 && exactNow != 0; ++round) {
        int chosen = -1;
        double chosenValue = 0.0;
        unsigned __int128 chosenMiss = exactNow;
        for (int k = 1; k <= outermost; ++k) {
            const double original = half[k];
            if (original == 0.0) {
                continue;
            }
            const double up = std::nextafter(original, INFINITY);
            const double down = std::nextafter(original, -INFINITY);
            const double candidates[] = {up, down, std::nextafter(up, INFINITY),
                                         std::nextafter(down, -INFINITY)};
            for (const double candidate : candidates) {
                half[k] = candidate;
                const unsigned __int128 trial = exactMiss(half);
                if (trial < chosenMiss) {
                    chosen = k;
                    chosenValue = candidate;
                    chosenMiss = trial;
                }
            }
            half[k] = original;
        }
        if (chosen < 0) {
            break;
        }
        half[chosen] = chosenValue;
        exactNow = chosenMiss;
    }

    // Then the rounded sums, tap 0 first, in doubles and in extended precision. Moving one pair
    // up and another down by the same amount leaves the exact sum as it is but changes how the
    // running sums round. A single such move seldom turns the result, so the search tries sets
    // of one to three moves drawn from a fixed pseudo-random sequence (the 32-bit Mersenne
    // twister, whose output the language defines exactly), each by the larger spacing of its two
    // pairs times 1, 2 or 4, and keeps the best set seen, stopping once both sums are exactly 1.
    auto spacing = [](double value) {
        const double magnitude = std::fabs(value);
        return std::nextafter(magnitude, INFINITY) - magnitude;
    };
    std::vector<int> movable;
    for (int k = 1; k <= outermost; ++k) {
        if (half[k] != 0.0) {
            movable.push_back(k);
        }
    }
    std::mt19937 draw(20251209u);
    const std::size_t count = movable.size();
    SumMiss best = sumMiss(assemble(half));
    Design design;
    for (; design.trials < kSumTrials && (best.inDoubles != 0.0 || best.inExtended != 0.0L);
         ++design.trials) {
        std::vector<double> candidate = half;
        const int moves = 1 + static_cast<int>(draw() % 3);
        for (int move = 0; move < moves; ++move) {
            const int a = movable[draw() % count];
            const int b = movable[draw() % count];
            const double amount = std::fmax(spacing(candidate[a]), spacing(candidate[b])) *
                                  static_cast<double>(1u << (draw() % 3));
            const double aMoved = candidate[a] + amount;
            const double bMoved = candidate[b] - amount;
            if (a == b || aMoved - candidate[a] != amount || candidate[b] - bMoved != amount) {
                continue;  // not exact: the exact sum would change
            }
            if (std::fabs(aMoved - rounded[a]) > kLargestMove ||
                std::fabs(bMoved - rounded[b]) > kLargestMove) {
                continue;
            }
            candidate[a] = aMoved;
            candidate[b] = bMoved;
        }
        const SumMiss trialMiss = sumMiss(assemble(candidate));
        if (trialMiss < best) {
            best = trialMiss;
            half = candidate;
        }
    }
    for (int k = 1; k <= reach; ++k) {
        if (half[k] != rounded[k]) {
            ++design.movedPairs;
            const long double move = std::fabs(static_cast<long double>(half[k]) - rounded[k]);
            design.largestMove = std::fmax(design.largestMove, move);
            design.totalMove += 2.0L * move;
        }
    }
    design.taps = assemble(half);
    return design;
}

// ---------------------------------------------------------------------------------------------
// Coefficient text

// 17 significant digits identify every double; the check below makes sure the program's own
// reader, which works in extended precision, lands on the same one.
std::string formatTap(double tap) {
    char text[40];
    std::snprintf(text, sizeof text, "%.16E", tap);
    return text;
}

std::string coefficientText(const std::vector<double>& taps) {
    std::string text;
    for (const double tap : taps) {
        text += formatTap(tap);
        text += "\r\n";
    }
    return text;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) {
            return false;
        }
    }
    return true;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') {
        return folder + name;
    }
    return folder + "/" + name;
}

// Writes beside the target and renames, so a failed run never leaves a half-written filter.
bool writeFileReplacing(const std::string& path, const std::string& text, std::string& reason) {
    const std::string temporary = path + ".partial";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        reason = std::strerror(written ? errno : writeError);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        reason = std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool readText(const std::string& path, std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

// One value per line, every line ended by CR LF, nothing else in the file.
bool plainLayout(const std::string& text, int taps) {
    int lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos || end == start) {
            return false;
        }
        for (std::size_t i = start; i < end; ++i) {
            const char c = text[i];
            if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'E')) {
                return false;
            }
        }
        ++lines;
        start = end + 2;
    }
    return lines == taps;
}

// ---------------------------------------------------------------------------------------------
// Measurement

// Magnitude of sum h[n] e^(-j w n) at frequency f for the sampling rate: the stage's gain
// M * H divided by its factor, 1 at DC. Horner's rule in extended precision.
long double magnitude(const std::vector<double>& taps, long double rate, long double f) {
    long double turns = f / rate;
    turns -= std::floor(turns);
    const long double angle = 2.0L * kPi * turns;
    const long double c = std::cos(angle);
    const long double s = -std::sin(angle);
    long double re = 0.0L;
    long double im = 0.0L;
    for (std::size_t n = taps.size(); n-- > 0;) {
        const long double nextRe = re * c - im * s + taps[n];
        im = re * s + im * c;
        re = nextRe;
    }
    return std::sqrt(re * re + im * im);
}

// A gain that is not a number counts as the worst possible in every search below.
long double decibels(long double gain) {
    if (std::isnan(gain)) {
        return INFINITY;
    }
    if (gain <= 0.0L) {
        return -INFINITY;
    }
    return 20.0L * std::log10(gain);
}

struct Worst {
    long double value = -INFINITY;  // the measure at its worst
    long double at = 0.0L;          // Hz
};

// Largest value of `measure` over [low, high]: a grid of kGridStep, then golden-section search
// around every grid peak that comes within kRefineWithin of the grid's worst.
template <typename Measure>
Worst searchWorst(long double low, long double high, const Measure& measure) {
    const int steps = static_cast<int>(std::ceil((high - low) / kGridStep));
    std::vector<long double> at(steps + 1);
    std::vector<long double> value(steps + 1);
    for (int i = 0; i <= steps; ++i) {
        at[i] = i == steps ? high : low + i * kGridStep;
        value[i] = measure(at[i]);
    }
    Worst worst;
    for (int i = 0; i <= steps; ++i) {
        if (value[i] > worst.value) {
            worst = {value[i], at[i]};
        }
    }
    const long double threshold = worst.value - kRefineWithin;
    for (int i = 1; i < steps; ++i) {
        if (value[i] < value[i - 1] || value[i] < value[i + 1] || value[i] < threshold) {
            continue;
        }
        constexpr long double kRatio = 0.6180339887498948482045868343656381L;
        long double a = at[i - 1];
        long double b = at[i + 1];
        long double x1 = b - kRatio * (b - a);
        long double x2 = a + kRatio * (b - a);
        long double v1 = measure(x1);
        long double v2 = measure(x2);
        for (int round = 0; round < 60; ++round) {
            if (v1 >= v2) {
                b = x2;
                x2 = x1;
                v2 = v1;
                x1 = b - kRatio * (b - a);
                v1 = measure(x1);
            } else {
                a = x1;
                x1 = x2;
                v1 = v2;
                x2 = a + kRatio * (b - a);
                v2 = measure(x2);
            }
        }
        if (v1 > worst.value) {
            worst = {v1, x1};
        }
        if (v2 > worst.value) {
            worst = {v2, x2};
        }
    }
    return worst;
}

struct StageReport {
    bool layout = false;     // one value per line, CR LF line ends, nothing else
    bool finite = false;     // every tap a finite number
    bool symmetric = false;  // about the centre, and 0 outside the symmetric span
    bool zeros = false;      // every M-th tap from the centre exactly 0
    bool centre = false;     // exactly 1/M, rounded to double
    double sumInDoubles = 0.0;
    long double sumInExtended = 0.0L;
    bool exactKnown = false;
    long double exactSumLessOne = 0.0L;
    Worst stopband;  // dB
    Worst passband;  // |dB|
};

StageReport measureStage(const Stage& stage, const std::vector<double>& taps) {
    StageReport report;
    report.finite = true;
    for (const double tap : taps) {
        report.finite = report.finite && std::isfinite(tap);
    }
    report.symmetric = true;
    for (int n = 0; n < stage.taps; ++n) {
        const int mirror = 2 * stage.centre - n;
        const bool paired = mirror >= 0 && mirror < stage.taps;
        if (paired ? !(taps[n] == taps[mirror]) : taps[n] != 0.0) {
            report.symmetric = false;
        }
    }
    // A windowed sinc has its zeros on every M-th tap from the centre and 1/M there; a comb
    // design has neither, but each of its polyphase components sums to 1/M all the same.
    report.zeros = true;
    for (int n = 0; n < stage.taps && stage.combOrder == 0; ++n) {
        if (n != stage.centre && (n - stage.centre) % stage.factor == 0 && taps[n] != 0.0) {
            report.zeros = false;
        }
    }
    report.centre =
        stage.combOrder > 0 || taps[stage.centre] == static_cast<double>(1.0L / stage.factor);
    for (int r = 0; r < stage.factor && stage.combOrder > 0; ++r) {
        long double component = 0.0L;
        for (int n = r; n < stage.taps; n += stage.factor) {
            component += taps[n];
        }
        report.zeros = report.zeros && std::fabs(component - 1.0L / stage.factor) <= 0x1p-50L;
    }
    report.sumInDoubles = doubleSumInOrder(taps);
    report.sumInExtended = sumInOrder(taps);
    const __int128 units = exactSumLessOne(taps, report.exactKnown);
    report.exactSumLessOne = exactToLongDouble(units);

    const long double rate = stage.outputRate;
    const long double inputRate = rate / stage.factor;
    auto gainDb = [&](long double f) { return decibels(magnitude(taps, rate, f)); };
    for (int j = 1; 2 * j <= stage.factor; ++j) {
        const long double low = j * inputRate - kAudioBand;
        const long double high = std::fmin(j * inputRate + kAudioBand, rate / 2.0L);
        const Worst band = searchWorst(low, high, gainDb);
        if (band.value > report.stopband.value) {
            report.stopband = band;
        }
    }
    report.passband =
        searchWorst(0.0L, kAudioBand, [&](long double f) { return std::fabs(gainDb(f)); });
    return report;
}

bool sumsMet(const StageReport& r) {
    return std::fabs(r.sumInDoubles - 1.0) <= kSumTolerance &&
           std::fabs(r.sumInExtended - 1.0L) <= kSumTolerance;
}

long double cascadeMagnitude(const std::vector<double> (&taps)[kStageCount], long double f) {
    long double product = 1.0L;
    for (int s = 0; s < kStageCount; ++s) {
        product *= magnitude(taps[s], kStages[s].outputRate, f);
    }
    return product;
}

const char* yesNo(bool value) {
    return value ? "yes" : "NO";
}

// Reads the four files as the program does, prints the figures; true when every target is met.
bool measureFolder(const std::string& folder) {
    std::vector<double> taps[kStageCount];
    StageReport reports[kStageCount];
    bool allRead = true;
    for (int s = 0; s < kStageCount; ++s) {
        const Stage& stage = kStages[s];
        const std::string path = joinPath(folder, stage.file);
        std::string reason;
        if (!loadCoefficientFile(path, stage.taps, taps[s], reason)) {
            std::fprintf(stderr, "design_filters: cannot read %s: %s\n", path.c_str(),
                         reason.c_str());
            allRead = false;
            continue;
        }
        std::string text;
        const bool layout = readText(path, text) && plainLayout(text, stage.taps);
        reports[s] = measureStage(stage, taps[s]);
        reports[s].layout = layout;
    }
    if (!allRead) {
        return false;
    }

    bool pass = true;
    std::printf(
        "stage  file         taps  delay  M  layout  finite  symmetric  zeros  centre  "
        "stopband dB  passband dB\n");
    for (int s = 0; s < kStageCount; ++s) {
        const Stage& stage = kStages[s];
        const StageReport& r = reports[s];
        std::printf("%-5d  %-11s  %4d  %5d  %d  %-6s  %-6s  %-9s  %-5s  %-6s  %11.2Lf  %11.2Le\n",
                    s + 1, stage.file, stage.taps, stage.centre, stage.factor, yesNo(r.layout),
                    yesNo(r.finite), yesNo(r.symmetric), yesNo(r.zeros), yesNo(r.centre),
                    r.stopband.value, r.passband.value);
        pass = pass && r.layout && r.finite && r.symmetric && r.zeros && r.centre;
    }
    std::printf("stopband: each stage over j * input rate +- %.0Lf Hz; passband: 0 .. %.0Lf Hz\n",
                kAudioBand, kAudioBand);
    std::printf(
        "stage  sum - 1, doubles  sum - 1, extended  exact sum - 1  (tap 0 first; target "
        "within %.1Le)\n",
        static_cast<long double>(kSumTolerance));
    for (int s = 0; s < kStageCount; ++s) {
        const StageReport& r = reports[s];
        char exact[40] = "unknown";
        if (r.exactKnown) {
            std::snprintf(exact, sizeof exact, "%.2Le", r.exactSumLessOne);
        }
        std::printf("%-5d  %16.2e  %17.2Le  %13s  %s\n", s + 1, r.sumInDoubles - 1.0,
                    r.sumInExtended - 1.0L, exact, sumsMet(r) ? "met" : "MISSED");
        pass = pass && sumsMet(r);
    }

    const Worst flatness = searchWorst(0.0L, kAudioBand, [&](long double f) {
        return std::fabs(decibels(cascadeMagnitude(taps, f)));
    });
    Worst images;
    int worstBand = 0;
    for (int k = 1; k <= kImageBands; ++k) {
        const long double low = k * kInputRate - kAudioBand;
        const long double high = std::fmin(k * kInputRate + kAudioBand, kFinalRate / 2.0L);
        const Worst band = searchWorst(
            low, high, [&](long double f) { return decibels(cascadeMagnitude(taps, f)); });
        if (band.value > images.value) {
            images = band;
            worstBand = k;
        }
    }
    const bool flat = flatness.value <= kFlatnessTarget;
    const bool clean = images.value <= kImageTarget;
    std::printf("cascade at %.0Lf Hz:\n", kFinalRate);
    std::printf("  flatness 0 .. %.0Lf Hz: %.2Le dB at %.1Lf Hz (target %.0Le dB)  %s\n",
                kAudioBand, flatness.value, flatness.at, kFlatnessTarget, flat ? "met" : "MISSED");
    std::printf(
        "  worst image, k * %.0Lf +- %.0Lf Hz, k = 1 .. %d: %.2Lf dB at %.1Lf Hz (k = %d, "
        "target %.0Lf dB)  %s\n",
        kInputRate, kAudioBand, kImageBands, images.value, images.at, worstBand, kImageTarget,
        clean ? "met" : "MISSED");
    pass = pass && flat && clean;
    std::printf("%s\n", pass ? "all targets met" : "TARGETS MISSED");
    return pass;
}

bool writeFolder(const std::string& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);  // a failure shows when writing
    for (const Stage& stage : kStages) {
        const Design design = designStage(stage);
        const std::vector<double>& taps = design.taps;
        char kind[48];
        if (stage.combOrder > 0) {
            std::snprintf(kind, sizeof kind, "comb of order %d", stage.combOrder);
        } else {
            std::snprintf(kind, sizeof kind, "beta %.2Lf", stage.beta);
        }
        std::printf(
            "%s: %s; to make the sums 1, %d pairs moved by at most %.1Le (all moves together "
            "%.1Le, %.0Lf dB; %d trials)\n",
            stage.file, kind, design.movedPairs, design.largestMove, design.totalMove,
            decibels(design.totalMove), design.trials);
        const std::string text = coefficientText(taps);
        if (!sameBits(parseCoefficientText(text, stage.taps), taps)) {
            std::fprintf(stderr, "design_filters: the text of %s does not read back exactly\n",
                         stage.file);
            return false;
        }
        const std::string path = joinPath(folder, stage.file);
        std::string reason;
        if (!writeFileReplacing(path, text, reason)) {
            std::fprintf(stderr, "design_filters: cannot write %s: %s\n", path.c_str(),
                         reason.c_str());
            return false;
        }
        std::vector<double> readBack;
        if (!loadCoefficientFile(path, stage.taps, readBack, reason) || !sameBits(readBack, taps)) {
            std::fprintf(stderr, "design_filters: %s does not read back as written\n",
                         path.c_str());
            return false;
        }
    }
    std::printf("wrote %s, %s, %s, %s into %s\n", kStages[0].file, kStages[1].file, kStages[2].file,
                kStages[3].file, folder.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] != "--check" && !args[0].empty() && args[0][0] != '-') {
        if (!writeFolder(args[0])) {
            return 1;
        }
        return measureFolder(args[0]) ? 0 : 1;
    }
    if (args.size() == 2 && args[0] == "--check") {
        return measureFolder(args[1]) ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: design_filters <folder>          write filter1.dat .. filter4.dat and "
                 "measure them\n"
                 "       design_filters --check <folder>  measure the files in the folder\n");
    return 2;
}
