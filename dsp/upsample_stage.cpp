#include "dsp/upsample_stage.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include <emmintrin.h>

#include "dsp/extended.hpp"
#include "dsp/upsample_design.hpp"
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

// A factor of at most 8 adds at most 3 bits to a double's 53: see KeptSamples::keep.
constexpr bool factorsAreSmall() {
    for (const UpsampleStageDesign& stage : kUpsampleStages) {
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

}  // namespace

// Kept samples.

bool KeptSamples::finite(std::int64_t first, std::int64_t last) const {
    if (nonFinite_.empty()) {
        return true;
    }
    const auto it = std::lower_bound(nonFinite_.begin(), nonFinite_.end(), first);
    return it == nonFinite_.end() || *it > last;
}

double KeptSamples::largest(std::int64_t first, std::int64_t last) const {
    double result = 0.0;
    for (std::int64_t g = first / kUpsampleGroup; g <= last / kUpsampleGroup; ++g) {
        result = std::max(result, groupLargest_[static_cast<std::size_t>(g - groupBase_)]);
    }
    return result;
}

double* KeptSamples::open(std::int64_t count) {
    const std::size_t at = samples_.size();
    samples_.resize(at + static_cast<std::size_t>(count));
    const std::int64_t lastGroup = (received_ + count - 1) / kUpsampleGroup;
    groupLargest_.resize(static_cast<std::size_t>(lastGroup - groupBase_ + 1), 0.0);
    return samples_.data() + at;
}

KeptSamples::Piece KeptSamples::keep(std::int64_t offset, const double* input, std::int64_t count) {
    // x·f with f at most 6 needs at most 56 significant bits, so the extended product is exact
    // and storing it rounds once: the double product is the same value, and it can be formed
    // two at a time. A value that is not finite shows as a NaN in `unordered`.
    const std::int64_t at = received_ + offset;
    double* kept = samples_.data() + (at - base_);
    const __m128d factor = _mm_set1_pd(static_cast<double>(factor_));
    const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    __m128d unordered = _mm_setzero_pd();
    bool tailUnordered = false;
    Piece piece;
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
            kept[k] = input[k] * static_cast<double>(factor_);
            groupMax = std::max(groupMax, std::fabs(kept[k]));
            tailUnordered = tailUnordered || !std::isfinite(kept[k]);
        }
        if (g == firstGroup) {
            piece.firstGroupLargest = groupMax;
        } else if (g == lastGroup) {
            piece.lastGroupLargest = groupMax;
        } else {
            groupLargest_[static_cast<std::size_t>(g - groupBase_)] = groupMax;
        }
    }
    if (firstGroup == lastGroup) {
        piece.lastGroupLargest = piece.firstGroupLargest;
    }
    piece.unordered = tailUnordered || _mm_movemask_pd(unordered) != 0;
    return piece;
}

void KeptSamples::close(std::int64_t offset, std::int64_t count, const Piece& piece) {
    const std::int64_t at = received_ + offset;
    double& first = groupLargest_[static_cast<std::size_t>(at / kUpsampleGroup - groupBase_)];
    first = std::max(first, piece.firstGroupLargest);
    double& last =
        groupLargest_[static_cast<std::size_t>((at + count - 1) / kUpsampleGroup - groupBase_)];
    last = std::max(last, piece.lastGroupLargest);
}

void KeptSamples::commit(std::int64_t count, bool unordered) {
    if (unordered) {
        // Notes the samples that are not finite.
        const double* kept = from(received_);
        for (std::int64_t k = 0; k < count; ++k) {
            if (!std::isfinite(kept[k])) {
                nonFinite_.push_back(received_ + k);
                groupLargest_[static_cast<std::size_t>((received_ + k) / kUpsampleGroup -
                                                       groupBase_)] =
                    std::numeric_limits<double>::infinity();
            }
        }
    }
    received_ += count;
}

void KeptSamples::append(const double* input, std::int64_t count) {
    if (count <= 0) {
        return;
    }
    open(count);
    const Piece piece = keep(0, input, count);
    close(0, count, piece);
    commit(count, piece.unordered);
}

void KeptSamples::releaseBefore(std::int64_t keepFrom) {
    const std::int64_t dead = keepFrom - base_;
    if (dead <= 0 || dead < static_cast<std::int64_t>(samples_.size()) / 2) {
        return;
    }
    samples_.erase(samples_.begin(), samples_.begin() + dead);
    base_ = keepFrom;
    const std::int64_t deadGroups = keepFrom / kUpsampleGroup - groupBase_;
    if (deadGroups > 0) {
        groupLargest_.erase(groupLargest_.begin(), groupLargest_.begin() + deadGroups);
        groupBase_ += deadGroups;
    }
    nonFinite_.erase(nonFinite_.begin(),
                     std::lower_bound(nonFinite_.begin(), nonFinite_.end(), keepFrom));
}

void KeptSamples::reset() {
    samples_.clear();
    base_ = 0;
    received_ = 0;
    nonFinite_.clear();
    groupLargest_.clear();
    groupBase_ = 0;
}

void KeptSamples::reserve(std::int64_t count) {
    samples_.reserve(static_cast<std::size_t>(count));
    groupLargest_.reserve(static_cast<std::size_t>(count / kUpsampleGroup + 2));
}

// The stage.

UpsampleStage::UpsampleStage(int stageIndex, const std::vector<double>& taps, int threadCount)
    : threadCount_(threadCount) {
    const UpsampleStageDesign& stage = kUpsampleStages[static_cast<std::size_t>(stageIndex)];
    factor_ = stage.factor;
    tapCount_ = stage.tapCount;
    oldestOffset_ = (stage.tapCount - 1) / stage.factor;
    kept_ = KeptSamples(factor_);
    taps_.assign(static_cast<std::size_t>(stage.tapCount), 0.0);
    std::copy_n(taps.begin(), std::min<std::size_t>(taps.size(), taps_.size()), taps_.begin());
    tapsFinite_ =
        std::all_of(taps_.begin(), taps_.end(), [](double tap) { return std::isfinite(tap); });
    double sum = 0.0;
    for (double tap : taps_) {
        sum += std::fabs(tap);
    }
    // Each of at most a few hundred roundings errs by 2^-53 of the sum at most.
    tapMagnitudeSum_ = sum * (1.0 + 0x1p-40);
    phases_.resize(static_cast<std::size_t>(factor_));
    for (int r = 0; r < factor_; ++r) {
        for (std::int64_t t = oldestOffset_; t >= 0; --t) {
            const std::int64_t k = factor_ * t + r;
            if (k >= tapCount_ || taps_[static_cast<std::size_t>(k)] == 0.0) {
                continue;
            }
            phases_[static_cast<std::size_t>(r)].push_back(
                PhaseTerm{-t, taps_[static_cast<std::size_t>(k)]});
        }
    }
}

// Whether the kept samples [first, last] are all finite (and so are the taps).
bool UpsampleStage::windowFinite(std::int64_t first, std::int64_t last) const {
    return tapsFinite_ && kept_.finite(first, last);
}

// The sum over every element of the zero-stuffed input in output n's window, zeros included:
// the definition itself.
double UpsampleStage::wholeWindowSum(std::int64_t n) const {
    const std::int64_t f = factor_;
    const std::int64_t first = std::max<std::int64_t>(0, n - tapCount_ + 1);
    const std::int64_t last = std::min(n, f * kept_.received() - 1);
    double acc = 0.0;
    for (std::int64_t i = first; i <= last; ++i) {
        const double sample = i % f == 0 ? kept_.at(i / f) : 0.0;
        acc =
            stored(acc + static_cast<long double>(taps_[static_cast<std::size_t>(n - i)]) * sample);
    }
    return acc;
}

double UpsampleStage::outputOfRow(std::int64_t q, int r) const {
    const std::int64_t n = factor_ * q + r;
    const std::int64_t first = std::max<std::int64_t>(0, q - oldestOffset_);
    const std::int64_t last = std::min(q, kept_.received() - 1);
    if (!windowFinite(first, last)) {
        return wholeWindowSum(n);
    }
    double acc = 0.0;
    for (const PhaseTerm& term : phases_[static_cast<std::size_t>(r)]) {
        const std::int64_t j = q + term.offset;
        if (j >= 0 && j < kept_.received()) {
            acc = stored(acc + static_cast<long double>(term.tap) * kept_.at(j));
        }
    }
    return isNegativeZero(acc) ? wholeWindowSum(n) : acc;
}

// Threads for making `rows` rows: fewer than four chunks are not worth waking a helper for.
int UpsampleStage::rowThreads(std::int64_t rows) const {
    return rows >= 4 * kChunkRows ? threadCount_ : 1;
}

// Rows [begin, end) into out, where out[0] is output f·rowBase; outputs at or beyond `limit`
// are not made.
void UpsampleStage::computeRows(std::int64_t begin, std::int64_t end, std::int64_t rowBase,
                                std::int64_t limit, double* out) const {
    const ExtendedPrecisionScope precision;
    const std::int64_t f = factor_;
    const std::int64_t received = kept_.received();
    for (std::int64_t q = begin; q < end;) {
        if (q >= oldestOffset_ && q + kLanes <= end && q + kLanes <= received &&
            windowFinite(q - oldestOffset_, q + kLanes - 1)) {
            const double* newest = kept_.from(q);
            for (int r = 0; r < f; ++r) {
                const std::vector<PhaseTerm>& terms = phases_[static_cast<std::size_t>(r)];
                double acc[kLanes] = {};
                accumulateLanes(newest, terms.data(), static_cast<std::int64_t>(terms.size()), acc);
                for (int w = 0; w < kLanes; ++w) {
                    const std::int64_t n = f * (q + w) + r;
                    out[n - f * rowBase] = isNegativeZero(acc[w]) ? wholeWindowSum(n) : acc[w];
                }
            }
            q += kLanes;
        } else {
            for (int r = 0; r < f && f * q + r < limit; ++r) {
                out[f * q + r - f * rowBase] = outputOfRow(q, r);
            }
            ++q;
        }
    }
}

void UpsampleStage::makeRows(std::int64_t endRow, std::int64_t limit, SampleBlock& output,
                             int threadCount) {
    const std::int64_t begin = nextRow_;
    if (endRow <= begin) {
        return;
    }
    const std::int64_t f = factor_;
    const std::int64_t made = std::min(f * endRow, limit) - f * begin;
    const std::size_t at = output.size();
    output.resize(at + static_cast<std::size_t>(made));
    double* out = output.data() + at;
    const std::int64_t rows = endRow - begin;
    runChunks(rows, kChunkRows, rows >= 4 * kChunkRows ? threadCount : 1,
              [&](std::int64_t first, std::int64_t last) {
                  computeRows(begin + first, begin + last, begin, limit, out);
              });
    nextRow_ = endRow;
}

void UpsampleStage::take(std::span<const double> input) {
    kept_.append(input.data(), static_cast<std::int64_t>(input.size()));
}

void UpsampleStage::process(std::span<const double> input, SampleBlock& output) {
    take(input);
    makeRows(kept_.received(), factor_ * kept_.received(), output, threadCount_);
    releaseBefore(factor_ * nextRow_);
}

void UpsampleStage::process(std::span<const double> input, UpsampleStage& next) {
    take(input);
    const std::int64_t begin = nextRow_;
    const std::int64_t endRow = kept_.received();
    const std::int64_t f = factor_;
    if (endRow > begin) {
        // Each chunk of rows is kept by the next stage while it is still in the cache.
        const std::int64_t rows = endRow - begin;
        double* out = next.kept_.open(f * rows);
        std::vector<KeptSamples::Piece>& pieces = pieces_;
        pieces.resize(static_cast<std::size_t>((rows + kChunkRows - 1) / kChunkRows));
        runChunks(rows, kChunkRows, rowThreads(rows), [&](std::int64_t first, std::int64_t last) {
            for (std::int64_t from = first; from < last; from += kChunkRows) {
                const std::int64_t to = std::min(last, from + kChunkRows);
                computeRows(begin + from, begin + to, begin, f * endRow, out);
                pieces[static_cast<std::size_t>(from / kChunkRows)] =
                    next.kept_.keep(f * from, out + f * from, f * (to - from));
            }
        });
        bool unordered = false;
        for (std::size_t c = 0; c < pieces.size(); ++c) {
            const std::int64_t from = static_cast<std::int64_t>(c) * kChunkRows;
            const std::int64_t to = std::min(rows, from + kChunkRows);
            next.kept_.close(f * from, f * (to - from), pieces[c]);
            unordered = unordered || pieces[c].unordered;
        }
        next.kept_.commit(f * rows, unordered);
        nextRow_ = endRow;
    }
    releaseBefore(f * nextRow_);
}

void UpsampleStage::finish(SampleBlock& output) {
    finish();
    const std::int64_t length = factor_ * kept_.received() + tapCount_;
    const std::int64_t rows = (length + factor_ - 1) / factor_;
    makeRows(rows, length, output, 1);
}

void UpsampleStage::finish() {
    finished_ = true;
}

double UpsampleStage::at(std::int64_t n) const {
    const std::int64_t q = n / factor_;
    const int r = static_cast<int>(n - factor_ * q);
    if (q < oldestOffset_ || q >= kept_.received() || !tapsFinite_ || !kept_.nonFinite().empty()) {
        return outputOfRow(q, r);
    }
    // The whole window lies among finite kept samples.
    const double* newest = kept_.from(q);
    double acc = 0.0;
    for (const PhaseTerm& term : phases_[static_cast<std::size_t>(r)]) {
        acc = stored(acc + static_cast<long double>(term.tap) * newest[term.offset]);
    }
    return isNegativeZero(acc) ? wholeWindowSum(n) : acc;
}

void UpsampleStage::form(std::int64_t first, std::int64_t count, double* out) const {
    if (count <= 0) {
        return;
    }
    const std::int64_t f = factor_;
    const std::int64_t firstRow = first / f;
    const std::int64_t endRow = (first + count - 1) / f + 1;
    // A reserved stage forms into its own rows; the thread's rows are made only where it is not
    // (even an unused thread_local takes memory on a thread's first pass over it).
    std::vector<double>* rowsInUse = &formRows_;
    if (!formReserved_) {
        thread_local std::vector<double> ownRows;
        rowsInUse = &ownRows;
    }
    std::vector<double>& rows = *rowsInUse;
    rows.resize(static_cast<std::size_t>((endRow - firstRow) * f));
    computeRows(firstRow, endRow, firstRow, std::numeric_limits<std::int64_t>::max(), rows.data());
    std::copy_n(rows.begin() + (first - f * firstRow), count, out);
}

double UpsampleStage::bound(std::int64_t first, std::int64_t last) const {
    if (!tapsFinite_) {
        return std::numeric_limits<double>::infinity();
    }
    const std::int64_t qFirst = std::max<std::int64_t>(0, first / factor_ - oldestOffset_);
    const std::int64_t qLast = std::min(last / factor_, kept_.received() - 1);
    // Each of the at most L roundings of a sum errs by 2^-52 of it at most, so the sum stays
    // within Σ|h|·max|x'|·(1 + 2L·2^-52); 2^-40 covers that and the two products here.
    return tapMagnitudeSum_ * kept_.largest(qFirst, qLast) * (1.0 + 0x1p-40);
}

void UpsampleStage::releaseBefore(std::int64_t n) {
    kept_.releaseBefore(std::max<std::int64_t>(0, n / factor_ - oldestOffset_));
}

void UpsampleStage::reset() {
    kept_.reset();
    nextRow_ = 0;
    finished_ = false;
}

void UpsampleStage::reserve(std::int64_t inputCount, std::int64_t keptCount,
                            std::int64_t formCount) {
    kept_.reserve(keptCount);
    pieces_.reserve(static_cast<std::size_t>(inputCount / kChunkRows + 1));
    // A run of outputs spans its own count plus at most one part-row at each end.
    formRows_.reserve(static_cast<std::size_t>(formCount + 2 * factor_));
    formReserved_ = true;
}
