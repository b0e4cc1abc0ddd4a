#include "plugin/studio_chain.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>

#include <xmmintrin.h>

#include "dsp/extended.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/upsampler.hpp"

namespace {

using plugin::Control;
using plugin::ControlPort;
using plugin::kControls;

const ControlPort& port(Control control) {
    for (const ControlPort& row : kControls) {
        if (row.control == control) {
            return row;
        }
    }
    return kControls.front();
}

// The shortest decimal that reads back as `value`, read as a double: 0.05f stands for 0.05.
double typedValue(float value) {
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
    double result = static_cast<double>(value);
    std::from_chars(text, written.ptr, result);
    return result;
}

// A control's value: its default where it is not a number, the nearest of its points where it
// has some, else within its range.
double controlValue(const ControlPort& row, const float* value) {
    if (value == nullptr || std::isnan(*value)) {
        return row.defaultValue;
    }
    const double typed = typedValue(*value);
    if (!row.points.empty()) {
        double nearest = row.points.front().value;
        for (const plugin::ScalePoint& point : row.points) {
            if (std::fabs(typed - point.value) < std::fabs(typed - nearest)) {
                nearest = point.value;
            }
        }
        return nearest;
    }
    return std::clamp(typed, row.minimum, row.maximum);
}

// The speed the chain uses for a nominal one, as the command line's --rpm gives it: 33 1/3 is
// exactly 100/3, 78 is 78.26.
double chainSpeed(double nominal) {
    return nominal < 40.0 ? revolutionsPerMinuteFor(33.0) : revolutionsPerMinuteFor(nominal);
}

bool sameDisc(const DiscParameters& a, const DiscParameters& b) {
    return a.revolutionsPerMinute == b.revolutionsPerMinute && a.grooveRadius == b.grooveRadius &&
           a.fullScaleLateralAmplitude == b.fullScaleLateralAmplitude &&
           a.trackingErrorDegrees == b.trackingErrorDegrees;
}

// The chain's floating-point state, whatever the host's: x87 extended precision, and SSE with
// gradual underflow and rounding to nearest, so that the plugin's output is the command line's.
class ChainArithmetic {
  public:
    ChainArithmetic() : saved_(_mm_getcsr()) { _mm_setcsr(kDefaultCsr); }
    ~ChainArithmetic() { _mm_setcsr(saved_); }
    ChainArithmetic(const ChainArithmetic&) = delete;
    ChainArithmetic& operator=(const ChainArithmetic&) = delete;

  private:
    static constexpr unsigned kDefaultCsr = 0x1F80;  // every exception masked, nothing flushed
    unsigned saved_;
    ExtendedPrecisionScope precision_;
};

// An input sample in the chain's units: within ±kInputLimit of full scale, 0 for a NaN.
double limitedInput(float sample) {
    const double value = static_cast<double>(sample);
    if (std::isnan(value)) {
        return 0.0;
    }
    return std::clamp(value, -StudioChain::kInputLimit, StudioChain::kInputLimit) * 32768.0;
}

}  // namespace

DiscParameters discFromControls(const float* const* values) {
    const auto value = [values](Control control) {
        const std::size_t row = static_cast<std::size_t>(control);
        return controlValue(port(control), values == nullptr ? nullptr : values[row]);
    };
    DiscParameters disc;
    disc.revolutionsPerMinute = chainSpeed(value(Control::Speed));
    disc.grooveRadius = value(Control::Radius);
    disc.fullScaleLateralAmplitude = value(Control::Amplitude);
    disc.trackingErrorDegrees = value(Control::Angle);
    return disc;
}

double largestTimingError(int sampleRate, const CoefficientSet& coefficients) {
    const double gain = lateralFilterGainBound(sampleRate, LateralDirection::Recording) *
                        upsamplerGainBound(coefficients);
    // The groove displacement in mm, at most.
    const double displacement = StudioChain::kInputLimit * gain * port(Control::Amplitude).maximum;
    const double angle =
        std::max(std::fabs(port(Control::Angle).minimum), std::fabs(port(Control::Angle).maximum));
    const double tangent = std::tan(angle * 3.14159265358979323846 / 180.0);
    const double velocity =
        grooveVelocityAt(port(Control::Radius).minimum, chainSpeed(port(Control::Speed).minimum));
    // Room for the chain's own roundings of the same quotient.
    return displacement * tangent / velocity * (1.0 + 0x1p-20);
}

StudioChain::StudioChain(int sampleRate, int channelCount, const CoefficientSet& coefficients)
    : channelCount_(channelCount == 1 ? 1 : 2),
      rampFrames_(static_cast<std::int64_t>(std::ceil(kRampSeconds * sampleRate))),
      timingErrorBound_(largestTimingError(sampleRate, coefficients)) {
    const std::int64_t lag = chainLagFrames(sampleRate, timingErrorBound_);
    latency_ = lag + kBlockFrames - 1;
    ChainSettings settings;
    settings.sampleRate = sampleRate;
    settings.channelCount = channelCount_;
    settings.disc = discFromControls(nullptr);
    settings.coefficients = &coefficients;
    settings.threadCount = 1;
    settings.reservedBlockFrames = kBlockFrames;
    settings.reservedLagFrames = lag;
    chain_ = std::make_unique<StreamingChain>(settings);
    applied_ = settings.disc;
    wanted_ = settings.disc;
    block_.assign(static_cast<std::size_t>(kBlockFrames * channelCount_), 0.0);
    // The ring holds the frames between the one played out and the newest pulled.
    ringFrames_ = static_cast<std::int64_t>(
        std::bit_ceil(static_cast<std::uint64_t>(latency_ + 2 * kBlockFrames)));
    ring_.assign(static_cast<std::size_t>(ringFrames_ * channelCount_), 0.0);
    // The lane kernel is chosen by a short measurement on first use: here, not in run().
    const PhaseTerm term{0, 0.0};
    double lanes[kLanes] = {};
    double samples[kLanes] = {};
    accumulateLanes(samples, &term, 1, lanes);
}

StudioChain::~StudioChain() = default;

void StudioChain::start(const DiscParameters& disc) {
    chain_->reset(disc);
    applied_ = disc;
    wanted_ = disc;
    gathered_ = 0;
    pushed_ = 0;
    pulled_ = 0;
    emitted_ = 0;
    fresh_ = false;
}

void StudioChain::readControls(const float* const* controls) {
    bool changed = !seenAny_;
    for (std::size_t row = 0; row < kControls.size(); ++row) {
        const float value =
            controls != nullptr && controls[row] != nullptr ? *controls[row] : std::nanf("");
        if (std::bit_cast<std::uint32_t>(value) != std::bit_cast<std::uint32_t>(seen_[row])) {
            changed = true;
            seen_[row] = value;
        }
    }
    seenAny_ = true;
    if (changed) {
        wanted_ = discFromControls(controls);
    }
}

void StudioChain::pushBlock() {
    // A change starts with the block: every frame of it is ahead of what the chain has read.
    if (!sameDisc(wanted_, applied_) && chain_->changeDisc(pushed_, rampFrames_, wanted_)) {
        applied_ = wanted_;
    }
    chain_->pushFrames(block_.data(), kBlockFrames);
    pushed_ += kBlockFrames;
    gathered_ = 0;
    pullReady();
    largestLag_ = std::max(largestLag_, pushed_ - pulled_);
}

void StudioChain::pullReady() {
    for (;;) {
        const std::int64_t at = pulled_ & (ringFrames_ - 1);
        const std::int64_t room = ringFrames_ - at;
        const std::int64_t got = chain_->pullFrames(ring_.data() + at * channelCount_, room);
        pulled_ += got;
        if (got < room) {
            return;
        }
    }
}

void StudioChain::emit(float* const* outputs, std::uint32_t at, std::uint32_t count) {
    for (std::uint32_t k = 0; k < count; ++k, ++emitted_) {
        const std::int64_t frame = emitted_ - latency_;
        const bool made = frame >= 0 && frame < pulled_;
        if (frame >= pulled_) {
            ++underruns_;
        }
        const double* values = ring_.data() + (frame & (ringFrames_ - 1)) * channelCount_;
        for (int c = 0; c < channelCount_; ++c) {
            outputs[c][at + k] = made ? static_cast<float>(values[c] / 32768.0) : 0.0f;
        }
    }
}

void StudioChain::run(const float* const* inputs, float* const* outputs, std::uint32_t frameCount,
                      const float* const* controls) {
    const ChainArithmetic arithmetic;
    if (fresh_) {
        readControls(controls);
        start(wanted_);
    }
    for (std::uint32_t done = 0; done < frameCount;) {
        const auto count = static_cast<std::uint32_t>(
            std::min<std::int64_t>(frameCount - done, kBlockFrames - gathered_));
        // The input is taken before any output is written: the buffers may be the same.
        for (std::uint32_t k = 0; k < count; ++k) {
            for (int c = 0; c < channelCount_; ++c) {
                block_[static_cast<std::size_t>((gathered_ + k) * channelCount_ + c)] =
                    limitedInput(inputs[c][done + k]);
            }
        }
        gathered_ += count;
        if (gathered_ == kBlockFrames) {
            readControls(controls);
            pushBlock();
        }
        emit(outputs, done, count);
        done += count;
    }
}
