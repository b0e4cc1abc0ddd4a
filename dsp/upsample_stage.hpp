#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dsp/block.hpp"
#include "dsp/polyphase_kernel.hpp"

inline constexpr std::int64_t kUpsampleGroup = 16;

// A stage's input as the stage keeps it: the kept samples x'[j] = stored(x[j]·f) from base() on,
// the largest |x'| of every group of kUpsampleGroup samples (infinity for a group with a sample
// that is not finite) and the indices of the samples that are not finite, ascending (almost
// always none).
class KeptSamples {
  public:
    explicit KeptSamples(int factor = 1) : factor_(factor) {}

    // What keeping a piece found at its ends and on the way: the largest magnitude of the piece's
    // part of the group it starts in and of the group it ends in (each only partly the piece's,
    // or shared with a neighbouring piece), and whether a sample was not finite.
    struct Piece {
        double firstGroupLargest = 0.0;
        double lastGroupLargest = 0.0;
        bool unordered = false;
    };

    // Takes `count` samples.
    void append(const double* input, std::int64_t count);

    // The same in pieces, possibly on several threads: open() makes room for `count` samples and
    // returns where sample received() goes; keep() keeps the pieces (input may be that place
    // itself), close() takes each piece's ends into the groups, commit() counts them in.
    double* open(std::int64_t count);
    Piece keep(std::int64_t offset, const double* input, std::int64_t count);
    void close(std::int64_t offset, std::int64_t count, const Piece& piece);
    void commit(std::int64_t count, bool unordered);

    // Lets go of every sample before `keepFrom`, once the dead part outweighs the rest, so that
    // each sample moves a bounded number of times.
    void releaseBefore(std::int64_t keepFrom);
    // Back to no samples, keeping the memory.
    void reset();
    // Room for `count` samples, made now.
    void reserve(std::int64_t count);

    std::int64_t base() const { return base_; }
    std::int64_t received() const { return received_; }
    double at(std::int64_t j) const { return samples_[static_cast<std::size_t>(j - base_)]; }
    const double* from(std::int64_t j) const { return samples_.data() + (j - base_); }
    std::span<const double> samples() const { return samples_; }
    std::span<const double> groupLargest() const { return groupLargest_; }
    const std::vector<std::int64_t>& nonFinite() const { return nonFinite_; }

    // Whether the samples [first, last] are all finite.
    bool finite(std::int64_t first, std::int64_t last) const;
    // The largest magnitude over the groups that hold samples [first, last].
    double largest(std::int64_t first, std::int64_t last) const;

  private:
    int factor_ = 1;
    SampleBlock samples_;
    std::int64_t base_ = 0;
    std::int64_t received_ = 0;
    std::vector<std::int64_t> nonFinite_;
    std::vector<double> groupLargest_;
    std::int64_t groupBase_ = 0;
};

// One interpolation stage over a stream: the input comes a block at a time, and its outputs are
// either made as soon as their newest sample has arrived and handed on (a pushed stage), or formed
// one by one when asked for (the last stage, whose samples only the interpolation pass reads).
// The values are those of the scatter convolution over the whole zero-stuffed signal, bit for
// bit, whatever the blocks and the threads.
class UpsampleStage {
  public:
    // Stage `stageIndex` of kUpsampleStages with its taps (cut to the stage's tap count or filled
    // up with zeros), making its outputs on up to `threadCount` threads.
    UpsampleStage(int stageIndex, const std::vector<double>& taps, int threadCount = 1);

    // Pushed: takes the input and appends every output that is now complete.
    void process(std::span<const double> input, SampleBlock& output);
    // The same, with the outputs taken straight into `next` as its input, each chunk while it is
    // still in the cache.
    void process(std::span<const double> input, UpsampleStage& next);
    // The input has ended: appends the outputs that remain, up to the length f·m + L.
    void finish(SampleBlock& output);

    // On demand: takes the input and makes nothing.
    void take(std::span<const double> input);
    // The input has ended: outputs up to f·m + L may now be asked for.
    void finish();
    // Whether output n can be made now.
    bool ready(std::int64_t n) const {
        return finished_ ? n < factor_ * kept_.received() + tapCount_
                         : n / factor_ < kept_.received();
    }
    // Output n. Its kept samples must be held: n is ready and n ≥ f·(base + ⌊(L − 1)/f⌋).
    double at(std::int64_t n) const;
    // Outputs [first, first + count) into `out`, the values at() gives, made side by side with
    // the lane kernel. Every one of them must be ready.
    void form(std::int64_t first, std::int64_t count, double* out) const;
    // An upper bound on |output n| for every n in [first, last], or infinity where it cannot say.
    double bound(std::int64_t first, std::int64_t last) const;
    // Lets go of the kept samples that no output from n on needs.
    void releaseBefore(std::int64_t n);

    // Back to the state just after set-up, keeping the memory.
    void reset();
    // Makes room up front for a stream that hands this stage at most `inputCount` samples at a
    // time while it keeps at most `keptCount`, and for forming `formCount` outputs at a time;
    // form() is then called from one thread at a time. No memory is taken while such a stream
    // runs.
    void reserve(std::int64_t inputCount, std::int64_t keptCount, std::int64_t formCount);

    int factor() const { return factor_; }
    // f·m: the length of the zero-stuffed input so far.
    std::int64_t stuffedLength() const { return factor_ * kept_.received(); }
    // The next row q (outputs f·q .. f·q + f − 1) a pushed stage makes.
    std::int64_t nextRow() const { return nextRow_; }
    const KeptSamples& kept() const { return kept_; }

  private:
    double wholeWindowSum(std::int64_t n) const;
    double outputOfRow(std::int64_t q, int r) const;
    bool windowFinite(std::int64_t first, std::int64_t last) const;
    void computeRows(std::int64_t begin, std::int64_t end, std::int64_t rowBase, std::int64_t limit,
                     double* out) const;
    void makeRows(std::int64_t endRow, std::int64_t limit, SampleBlock& output, int threadCount);
    int rowThreads(std::int64_t rows) const;

    int factor_ = 1;
    int tapCount_ = 0;
    std::int64_t oldestOffset_ = 0;  // ⌊(L − 1)/f⌋: how far back a sum reaches, in kept samples
    int threadCount_ = 1;
    std::vector<double> taps_;                    // h[0] first
    std::vector<std::vector<PhaseTerm>> phases_;  // per phase r: the nonzero taps, oldest first
    bool tapsFinite_ = true;
    double tapMagnitudeSum_ = 0.0;  // an upper bound on Σ|h|

    KeptSamples kept_;
    std::int64_t nextRow_ = 0;
    bool finished_ = false;
    std::vector<KeptSamples::Piece> pieces_;  // what each chunk of rows kept, handed on
    mutable std::vector<double> formRows_;    // form()'s rows, once reserved
    bool formReserved_ = false;
};
