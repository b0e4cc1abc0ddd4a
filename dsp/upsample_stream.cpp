#include "dsp/upsample_stream.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include <emmintrin.h>

#include "dsp/extended.hpp"
#include "dsp/worker_pool.hpp"

// Output n = f·q + r is the sum over the kept samples x'[j] = stored(x[j]·f), j = q − t, of
// h[f·t + r]·x'[j] in ascending j. The zeros between the kept samples are left out: with finite
// taps each of their products is a signed zero, and adding a signed zero never changes a sum
// except that it can turn −0 into +0; the shortened sum is −0 whenever the full one is, so a
// result other than −0 is exactly the full sum, and a −0 result is made again over the whole
// window. Zero taps are left out the same way where every kept sample of the window is finite
// (0·∞ is not zero). Windows with a sample that is not finite, and stages with a tap that is
// not finite, are summed over every element of the stuffed window, zeros included.

namespace {

// A factor of at most 8 adds at most 3 bits to a double's 53: see appendKeptSamples.
constexpr bool factorsAreSmall() {
    for (const UpsampleStage& stage : kUpsampleStages) {
        if (stage.factor > 8) {
            return false;
        }
    }
    return true;
}
static_assert(factorsAreSmall());

constexpr std::uint64_t kNegativeZeroBits = 0x8000000000000000ull;
constexpr std::int64_t kChunkRows = 64 * kLanes;

bool isNegativeZero(double value) {
    return std::bit_cast<std::uint64_t>(value) == kNegativeZeroBits;
}

double keptAt(const UpsampleStream& s, std::int64_t j) {
    return s.kept[static_cast<std::size_t>(j - s.keptBase)];
}

// Whether the kept samples [first, last] are all finite (and so are the taps).
bool windowFinite(const UpsampleStream& s, std::int64_t first, std::int64_t last) {
    if (!s.tapsFinite) {
        return false;
    }
    if (s.nonFinite.empty()) {
        return true;
    }
    const auto it = std::lower_bound(s.nonFinite.begin(), s.nonFinite.end(), first);
    return it == s.nonFinite.end() || *it > last;
}

// The sum over every element of the zero-stuffed input in output n's window, zeros included:
// the definition itself.
double wholeWindowSum(const UpsampleStream& s, std::int64_t n) {
    const std::int64_t f = s.factor;
    const std::int64_t first = std::max<std::int64_t>(0, n - s.tapCount + 1);
    const std::int64_t last = std::min(n, f * s.received - 1);
    double acc = 0.0;
    for (std::int64_t i = first; i <= last; ++i) {
        const double sample = i % f == 0 ? keptAt(s, i / f) : 0.0;
        acc = stored(acc +
                     static_cast<long double>(s.taps[static_cast<std::size_t>(n - i)]) * sample);
    }
    return acc;
}

double outputOfRow(const UpsampleStream& s, std::int64_t q, int r) {
    const std::int64_t n = s.factor * q + r;
    const std::int64_t first = std::max<std::int64_t>(0, q - s.oldestOffset);
    const std::int64_t last = std::min(q, s.received - 1);
    if (!windowFinite(s, first, last)) {
        return wholeWindowSum(s, n);
    }
    double acc = 0.0;
    for (const PhaseTerm& term : s.phases[static_cast<std::size_t>(r)]) {
        const std::int64_t j = q + term.offset;
        if (j >= 0 && j < s.received) {
            acc = stored(acc + static_cast<long double>(term.tap) * keptAt(s, j));
        }
    }
    return isNegativeZero(acc) ? wholeWindowSum(s, n) : acc;
}

// Threads for making `rows` rows: fewer than four chunks are not worth waking a helper for.
int rowThreads(std::int64_t rows, int threadCount) {
    return rows >= 4 * kChunkRows ? threadCount : 1;
}

// Rows [begin, end) into out, where out[0] is output f·rowBase; outputs at or beyond `limit`
// are not made.
void computeRows(const UpsampleStream& s, std::int64_t begin, std::int64_t end,
                 std::int64_t rowBase, std::int64_t limit, double* out) {
    const ExtendedPrecisionScope precision;
    const std::int64_t f = s.factor;
    for (std::int64_t q = begin; q < end;) {
        if (q >= s.oldestOffset && q + kLanes <= end && q + kLanes <= s.received &&
            windowFinite(s, q - s.oldestOffset, q + kLanes - 1)) {
            const double* newest = s.kept.data() + (q - s.keptBase);
            for (int r = 0; r < f; ++r) {
                const std::vector<PhaseTerm>& terms = s.phases[static_cast<std::size_t>(r)];
                double acc[kLanes] = {};
                accumulateLanes(newest, terms.data(), static_cast<std::int64_t>(terms.size()), acc);
                for (int w = 0; w < kLanes; ++w) {
                    const std::int64_t n = f * (q + w) + r;
                    out[n - f * rowBase] = isNegativeZero(acc[w]) ? wholeWindowSum(s, n) : acc[w];
                }
            }
            q += kLanes;
        } else {
            for (int r = 0; r < f && f * q + r < limit; ++r) {
                out[f * q + r - f * rowBase] = outputOfRow(s, q, r);
            }
            ++q;
        }
    }
}

void makeRows(UpsampleStream& s, std::int64_t endRow, std::int64_t limit, SampleBlock& output,
              int threadCount) {
    const std::int64_t begin = s.nextRow;
    if (endRow <= begin) {
        return;
    }
    const std::int64_t f = s.factor;
    const std::int64_t made = std::min(f * endRow, limit) - f * begin;
    const std::size_t at = output.size();
    output.resize(at + static_cast<std::size_t>(made));
    double* out = output.data() + at;
    const std::int64_t rows = endRow - begin;
    runChunks(rows, kChunkRows, rowThreads(rows, threadCount),
              [&](std::int64_t first, std::int64_t last) {
                  computeRows(s, begin + first, begin + last, begin, limit, out);
              });
    s.nextRow = endRow;
}

}  // namespace

UpsampleStream makeUpsampleStream(int stageIndex, const std::vector<double>& taps) {
    const UpsampleStage& stage = kUpsampleStages[static_cast<std::size_t>(stageIndex)];
    UpsampleStream s;
    s.factor = stage.factor;
    s.tapCount = stage.tapCount;
    s.oldestOffset = (stage.tapCount - 1) / stage.factor;
    s.taps.assign(static_cast<std::size_t>(stage.tapCount), 0.0);
    std::copy_n(taps.begin(), std::min<std::size_t>(taps.size(), s.taps.size()), s.taps.begin());
    s.tapsFinite =
        std::all_of(s.taps.begin(), s.taps.end(), [](double tap) { return std::isfinite(tap); });
    double sum = 0.0;
    for (double tap : s.taps) {
        sum += std::fabs(tap);
    }
    // Each of at most a few hundred roundings errs by 2^-53 of the sum at most.
    s.tapMagnitudeSum = sum * (1.0 + 0x1p-40);
    s.phases.resize(static_cast<std::size_t>(s.factor));
    for (int r = 0; r < s.factor; ++r) {
        for (std::int64_t t = s.oldestOffset; t >= 0; --t) {
            const std::int64_t k = s.factor * t + r;
            if (k >= s.tapCount || s.taps[static_cast<std::size_t>(k)] == 0.0) {
                continue;
            }
            s.phases[static_cast<std::size_t>(r)].push_back(
                PhaseTerm{-t, s.taps[static_cast<std::size_t>(k)]});
        }
    }
    return s;
}

namespace {

// What keeping a run of samples found at its ends and on the way: the largest magnitude of the
// run's part of the group it starts in and of the group it ends in (each only partly the run's,
// or shared with a neighbouring run), and whether a sample was not finite.
struct KeptRun {
    double firstGroupLargest = 0.0;
    double lastGroupLargest = 0.0;
    bool unordered = false;
};

// Stores the kept samples x'[at + k] = stored(x[k]·f) for k < count (input may be kept itself)
// and the largest magnitude of every group that lies wholly in the run.
KeptRun keepRun(UpsampleStream& s, std::int64_t at, const double* input, double* kept,
                std::int64_t count) {
    // x·f with f at most 6 needs at most 56 significant bits, so the extended product is exact
    // and storing it rounds once: the double product is the same value, and it can be formed
    // two at a time. A value that is not finite shows as a NaN in `unordered`.
    const __m128d factor = _mm_set1_pd(static_cast<double>(s.factor));
    const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    __m128d unordered = _mm_setzero_pd();
    bool tailUnordered = false;
    KeptRun run;
    const std::int64_t firstGroup = at / kUpsampleGroup;
    const std::int64_t lastGroup = (at + count - 1) / kUpsampleGroup;
    for (std::int64_t g = firstGroup; g <= lastGroup; ++g) {
        const std::int64_t from = std::max(g * kUpsampleGroup, at) - at;
        const std::int64_t to = std::min((g + 1) * kUpsampleGroup, at + count) - at;
        __m128d largest = _mm_setzero_pd();
        std::int64_t k = from;
        for (; k + 2 <= to; k += 2) {
            const __m128d value = _mm_mul_pd(_mm_loadu_pd(input + k), factor);
            _mm_storeu_pd(kept + k, value);
            const __m128d difference = _mm_sub_pd(value, value);  // NaN unless finite
            unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(difference, difference));
            largest = _mm_max_pd(largest, _mm_and_pd(value, magnitudeMask));
        }
        double lanes[2];
        _mm_storeu_pd(lanes, largest);
        double groupMax = std::max(lanes[0], lanes[1]);
        for (; k < to; ++k) {
            kept[k] = input[k] * static_cast<double>(s.factor);
            groupMax = std::max(groupMax, std::fabs(kept[k]));
            tailUnordered = tailUnordered || !std::isfinite(kept[k]);
        }
        if (g == firstGroup) {
            run.firstGroupLargest = groupMax;
        } else if (g == lastGroup) {
            run.lastGroupLargest = groupMax;
        } else {
            s.groupLargest[static_cast<std::size_t>(g - s.groupBase)] = groupMax;
        }
    }
    if (firstGroup == lastGroup) {
        run.lastGroupLargest = run.firstGroupLargest;
    }
    run.unordered = tailUnordered || _mm_movemask_pd(unordered) != 0;
    return run;
}

// Makes room for `count` more kept samples and their groups; returns where they go.
double* growKept(UpsampleStream& s, std::int64_t count) {
    const std::size_t at = s.kept.size();
    s.kept.resize(at + static_cast<std::size_t>(count));
    const std::int64_t lastGroup = (s.received + count - 1) / kUpsampleGroup;
    s.groupLargest.resize(static_cast<std::size_t>(lastGroup - s.groupBase + 1), 0.0);
    return s.kept.data() + at;
}

// Takes a run's end groups into the groups' maxima.
void mergeRunEnds(UpsampleStream& s, std::int64_t at, std::int64_t count, const KeptRun& run) {
    double& first = s.groupLargest[static_cast<std::size_t>(at / kUpsampleGroup - s.groupBase)];
    first = std::max(first, run.firstGroupLargest);
    double& last =
        s.groupLargest[static_cast<std::size_t>((at + count - 1) / kUpsampleGroup - s.groupBase)];
    last = std::max(last, run.lastGroupLargest);
}

// After samples [received, received + count) were kept: notes those that are not finite.
void noteNonFinite(UpsampleStream& s, std::int64_t count) {
    const double* kept = s.kept.data() + (s.received - s.keptBase);
    for (std::int64_t k = 0; k < count; ++k) {
        if (!std::isfinite(kept[k])) {
            s.nonFinite.push_back(s.received + k);
            s.groupLargest[static_cast<std::size_t>((s.received + k) / kUpsampleGroup -
                                                    s.groupBase)] =
                std::numeric_limits<double>::infinity();
        }
    }
}

}  // namespace

void appendKeptSamples(UpsampleStream& s, const double* input, std::int64_t count) {
    if (count <= 0) {
        return;
    }
    double* kept = growKept(s, count);
    const KeptRun run = keepRun(s, s.received, input, kept, count);
    mergeRunEnds(s, s.received, count, run);
    if (run.unordered) {
        noteNonFinite(s, count);
    }
    s.received += count;
}

void pushUpsampleStream(UpsampleStream& s, const double* input, std::int64_t count,
                        SampleBlock& output, int threadCount) {
    appendKeptSamples(s, input, count);
    makeRows(s, s.received, s.factor * s.received, output, threadCount);
    releaseUpsampleBefore(s, s.factor * s.nextRow);
}

void pushUpsampleStreamInto(UpsampleStream& s, const double* input, std::int64_t count,
                            UpsampleStream& next, int threadCount) {
    appendKeptSamples(s, input, count);
    const std::int64_t begin = s.nextRow;
    const std::int64_t endRow = s.received;
    const std::int64_t f = s.factor;
    if (endRow > begin) {
        // Each chunk of rows is kept by the next stage while it is still in the cache.
        const std::int64_t rows = endRow - begin;
        const std::int64_t at = next.received;
        double* out = growKept(next, f * rows);
        std::vector<KeptRun> runs(static_cast<std::size_t>((rows + kChunkRows - 1) / kChunkRows));
        runChunks(rows, kChunkRows, rowThreads(rows, threadCount),
                  [&](std::int64_t first, std::int64_t last) {
                      for (std::int64_t from = first; from < last; from += kChunkRows) {
                          const std::int64_t to = std::min(last, from + kChunkRows);
                          computeRows(s, begin + from, begin + to, begin, f * endRow, out);
                          double* made = out + f * from;
                          runs[static_cast<std::size_t>(from / kChunkRows)] =
                              keepRun(next, at + f * from, made, made, f * (to - from));
                      }
                  });
        bool unordered = false;
        for (std::size_t c = 0; c < runs.size(); ++c) {
            const std::int64_t from = static_cast<std::int64_t>(c) * kChunkRows;
            const std::int64_t to = std::min(rows, from + kChunkRows);
            mergeRunEnds(next, at + f * from, f * (to - from), runs[c]);
            unordered = unordered || runs[c].unordered;
        }
        if (unordered) {
            noteNonFinite(next, f * rows);
        }
        next.received += f * rows;
        s.nextRow = endRow;
    }
    releaseUpsampleBefore(s, f * s.nextRow);
}

void finishUpsampleStream(UpsampleStream& s, SampleBlock& output) {
    s.finished = true;
    const std::int64_t length = s.factor * s.received + s.tapCount;
    const std::int64_t rows = (length + s.factor - 1) / s.factor;
    makeRows(s, rows, length, output, 1);
}

bool upsampleOutputReady(const UpsampleStream& s, std::int64_t n) {
    if (s.finished) {
        return n < s.factor * s.received + s.tapCount;
    }
    return n / s.factor < s.received;
}

double upsampleOutputAt(const UpsampleStream& s, std::int64_t n) {
    const std::int64_t q = n / s.factor;
    const int r = static_cast<int>(n - s.factor * q);
    if (q < s.oldestOffset || q >= s.received || !s.tapsFinite || !s.nonFinite.empty()) {
        return outputOfRow(s, q, r);
    }
    // The whole window lies among finite kept samples.
    const double* newest = s.kept.data() + (q - s.keptBase);
    double acc = 0.0;
    for (const PhaseTerm& term : s.phases[static_cast<std::size_t>(r)]) {
        acc = stored(acc + static_cast<long double>(term.tap) * newest[term.offset]);
    }
    return isNegativeZero(acc) ? wholeWindowSum(s, n) : acc;
}

void formUpsampleOutputs(const UpsampleStream& s, std::int64_t first, std::int64_t count,
                         double* out, int threadCount) {
    if (count <= 0) {
        return;
    }
    const std::int64_t f = s.factor;
    const std::int64_t firstRow = first / f;
    const std::int64_t endRow = (first + count - 1) / f + 1;
    thread_local std::vector<double> rows;
    rows.resize(static_cast<std::size_t>((endRow - firstRow) * f));
    const std::int64_t rowCount = endRow - firstRow;
    // The helpers write into this thread's buffer, not into their own thread_local one.
    double* const rowData = rows.data();
    runChunks(rowCount, kChunkRows, rowThreads(rowCount, threadCount),
              [&s, firstRow, rowData](std::int64_t begin, std::int64_t end) {
                  computeRows(s, firstRow + begin, firstRow + end, firstRow,
                              std::numeric_limits<std::int64_t>::max(), rowData);
              });
    std::copy_n(rows.begin() + (first - f * firstRow), count, out);
}

double upsampleOutputBound(const UpsampleStream& s, std::int64_t first, std::int64_t last) {
    if (!s.tapsFinite) {
        return std::numeric_limits<double>::infinity();
    }
    const std::int64_t qFirst = std::max<std::int64_t>(0, first / s.factor - s.oldestOffset);
    const std::int64_t qLast = std::min(last / s.factor, s.received - 1);
    double largest = 0.0;
    for (std::int64_t g = qFirst / kUpsampleGroup; g <= qLast / kUpsampleGroup; ++g) {
        largest = std::max(largest, s.groupLargest[static_cast<std::size_t>(g - s.groupBase)]);
    }
    // Each of the at most L roundings of a sum errs by 2^-52 of it at most, so the sum stays
    // within Σ|h|·max|x'|·(1 + 2L·2^-52); 2^-40 covers that and the two products here.
    return s.tapMagnitudeSum * largest * (1.0 + 0x1p-40);
}

void releaseUpsampleBefore(UpsampleStream& s, std::int64_t n) {
    const std::int64_t keepFrom = std::max<std::int64_t>(0, n / s.factor - s.oldestOffset);
    const std::int64_t dead = keepFrom - s.keptBase;
    // Only once the dead part outweighs the rest, so that each sample moves a bounded number of
    // times.
    if (dead <= 0 || dead < static_cast<std::int64_t>(s.kept.size()) / 2) {
        return;
    }
    s.kept.erase(s.kept.begin(), s.kept.begin() + dead);
    s.keptBase = keepFrom;
    const std::int64_t deadGroups = keepFrom / kUpsampleGroup - s.groupBase;
    if (deadGroups > 0) {
        s.groupLargest.erase(s.groupLargest.begin(), s.groupLargest.begin() + deadGroups);
        s.groupBase += deadGroups;
    }
    s.nonFinite.erase(s.nonFinite.begin(),
                      std::lower_bound(s.nonFinite.begin(), s.nonFinite.end(), keepFrom));
}
