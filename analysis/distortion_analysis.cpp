#include "analysis/distortion_analysis.hpp"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <numeric>
#include <thread>

#include "analysis/distortion_prediction.hpp"
#include "analysis/tracing_prediction.hpp"
#include "dsp/groove_geometry.hpp"
#include "engine/streaming_chain.hpp"

namespace {

constexpr long double kTwoPi = 2 * std::numbers::pi_v<long double>;

// FFTW's planner is not reentrant.
std::mutex fftwPlannerLock;

std::int64_t wholeHertz(double frequency) {
    return std::llround(frequency);
}

// cos and sin of 2 pi m / n for m in [0, n).
struct UnitCircle {
    std::vector<long double> cosine;
    std::vector<long double> sine;
    explicit UnitCircle(std::int64_t n) : cosine(static_cast<std::size_t>(n)), sine(cosine.size()) {
        for (std::int64_t m = 0; m < n; ++m) {
            const long double angle = kTwoPi * static_cast<long double>(m) / n;
            cosine[static_cast<std::size_t>(m)] = std::cos(angle);
            sine[static_cast<std::size_t>(m)] = std::sin(angle);
        }
    }
};

double binAmplitudeOn(const UnitCircle& circle, const double* x, std::int64_t n, std::int64_t k) {
    long double re = 0.0L;
    long double im = 0.0L;
    std::int64_t phase = 0;  // k m mod n
    const std::int64_t step = ((k % n) + n) % n;
    for (std::int64_t m = 0; m < n; ++m) {
        re += x[m] * circle.cosine[static_cast<std::size_t>(phase)];
        im -= x[m] * circle.sine[static_cast<std::size_t>(phase)];
        phase += step;
        if (phase >= n) {
            phase -= n;
        }
    }
    return static_cast<double>(2 * std::sqrt(re * re + im * im) / n);
}

// The window's bins per hertz: how many whole periods a tone of `frequency` completes.
std::int64_t binOf(double frequency, std::int64_t n, int sampleRate) {
    return std::llround(frequency * static_cast<double>(n) / sampleRate);
}

double rootSumOfSquares(const double* values, std::size_t count) {
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isnan(values[i])) {
            sum += values[i] * values[i];
        }
    }
    return std::sqrt(sum);
}

// The upper tone's phase, demodulated from the band around it, and its deviation at the lower
// tone's frequency.
double phaseDeviation(const double* window, std::int64_t n, std::int64_t carrierBin,
                      std::int64_t modulatorBin) {
    const std::int64_t half = n / 2 + 1;
    fftw_complex* spectrum = fftw_alloc_complex(static_cast<std::size_t>(half));
    fftw_complex* analytic = fftw_alloc_complex(static_cast<std::size_t>(n));
    double* input = fftw_alloc_real(static_cast<std::size_t>(n));
    std::copy(window, window + n, input);
    fftw_plan forward;
    fftw_plan backward;
    {
        std::lock_guard<std::mutex> lock(fftwPlannerLock);
        forward = fftw_plan_dft_r2c_1d(static_cast<int>(n), input, spectrum, FFTW_ESTIMATE);
        backward =
            fftw_plan_dft_1d(static_cast<int>(n), analytic, analytic, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    fftw_execute(forward);
    std::fill(reinterpret_cast<double*>(analytic), reinterpret_cast<double*>(analytic + n), 0.0);
    // The band shifted down to 0 Hz: the carrier's bin becomes bin 0.
    const std::int64_t reach = kSidebandOrders * modulatorBin;
    for (std::int64_t k = carrierBin - reach; k <= carrierBin + reach; ++k) {
        if (k <= 0 || k >= half) {
            continue;
        }
        const std::int64_t target = ((k - carrierBin) % n + n) % n;
        analytic[target][0] = spectrum[k][0];
        analytic[target][1] = spectrum[k][1];
    }
    fftw_execute(backward);
    long double re = 0.0L;
    long double im = 0.0L;
    double previous = 0.0;
    double unwrapped = 0.0;
    for (std::int64_t m = 0; m < n; ++m) {
        const double phase = std::atan2(analytic[m][1], analytic[m][0]);
        double step = phase - previous;
        step -= 2 * std::numbers::pi * std::round(step / (2 * std::numbers::pi));
        unwrapped = m == 0 ? phase : unwrapped + step;
        previous = phase;
        const long double angle =
            kTwoPi * static_cast<long double>((modulatorBin * m) % n) / static_cast<long double>(n);
        re += unwrapped * std::cos(angle);
        im -= unwrapped * std::sin(angle);
    }
    {
        std::lock_guard<std::mutex> lock(fftwPlannerLock);
        fftw_destroy_plan(forward);
        fftw_destroy_plan(backward);
    }
    fftw_free(spectrum);
    fftw_free(analytic);
    fftw_free(input);
    return static_cast<double>(2 * std::sqrt(re * re + im * im) / n);
}

}  // namespace

bool parseTestSignal(const std::string& text, TestSignal& signal, std::string& reason) {
    if (text == "smpte") {
        signal = {SignalKind::Smpte, 60.0};
        return true;
    }
    if (text == "ccif") {
        signal = {SignalKind::Ccif, 19000.0};
        return true;
    }
    if (text == "fm") {
        signal = {SignalKind::Fm, 400.0};
        return true;
    }
    const std::string prefix = "sine:";
    if (text.rfind(prefix, 0) == 0) {
        const std::string number = text.substr(prefix.size());
        char* end = nullptr;
        errno = 0;
        const double frequency = std::strtod(number.c_str(), &end);
        if (number.empty() || end != number.c_str() + number.size() || errno != 0 ||
            !std::isfinite(frequency)) {
            reason = "the sine's frequency '" + number + "' is not a number";
            return false;
        }
        const double whole = std::round(frequency);
        if (whole < 10.0 || whole >= kMeasureSampleRate / 4.0) {
            reason = "the sine's frequency must lie from 10 Hz up to below " +
                     std::to_string(kMeasureSampleRate / 4) + " Hz";
            return false;
        }
        signal = {SignalKind::Sine, whole};
        return true;
    }
    reason = "unknown signal '" + text + "' (sine:FREQ, smpte, ccif or fm)";
    return false;
}

std::string testSignalName(const TestSignal& signal) {
    switch (signal.kind) {
        case SignalKind::Smpte:
            return "smpte";
        case SignalKind::Ccif:
            return "ccif";
        case SignalKind::Fm:
            return "fm";
        case SignalKind::Sine:
            break;
    }
    return "sine:" + std::to_string(wholeHertz(signal.frequency));
}

std::vector<TestTone> testTones(const TestSignal& signal) {
    switch (signal.kind) {
        case SignalKind::Smpte:
            return {{60.0, 1.0}, {7000.0, 0.25}};
        case SignalKind::Ccif:
            return {{19000.0, 1.0}, {20000.0, 1.0}};
        case SignalKind::Fm:
            return {{400.0, 1.0}, {4000.0, 0.25}};
        case SignalKind::Sine:
            break;
    }
    return {{signal.frequency, 1.0}};
}

bool parseMeasureChannel(const std::string& text, MeasureChannel& channel) {
    const std::pair<const char*, MeasureChannel> names[] = {{"mid", MeasureChannel::Mid},
                                                            {"side", MeasureChannel::Side},
                                                            {"left", MeasureChannel::Left},
                                                            {"right", MeasureChannel::Right}};
    for (const auto& [name, value] : names) {
        if (text == name) {
            channel = value;
            return true;
        }
    }
    return false;
}

const char* measureChannelName(MeasureChannel channel) {
    switch (channel) {
        case MeasureChannel::Side:
            return "side";
        case MeasureChannel::Left:
            return "left";
        case MeasureChannel::Right:
            return "right";
        case MeasureChannel::Mid:
            break;
    }
    return "mid";
}

ChannelTiming channelTiming(MeasureChannel channel, double trackingTangent, double slope) {
    switch (channel) {
        case MeasureChannel::Side:
            return {-slope, 1.0};
        case MeasureChannel::Left:
            return {trackingTangent - slope, std::numbers::sqrt2 / 2};
        case MeasureChannel::Right:
            return {trackingTangent + slope, std::numbers::sqrt2 / 2};
        case MeasureChannel::Mid:
            break;
    }
    return {trackingTangent, 1.0};
}

ChainLevel chooseChainLevel(const TestSignal& signal, double peakVelocity, int sampleRate,
                            MeasureChannel channel) {
    const std::vector<TestTone> tones = testTones(signal);
    double levelSum = 0.0;
    for (const TestTone& tone : tones) {
        levelSum += tone.level;
    }
    ChainLevel level;
    const double lowerAmplitude = kMeasureInputPeak / levelSum;
    const double lowerDisplacement =
        peakVelocity / (2 * std::numbers::pi * tones.front().frequency);
    const double lowerGain = recordingFilterGain(tones.front().frequency, sampleRate);
    // A wall's sample value moves y and z by half of it each (M = S = L/2), √2/2 of it along
    // the wall: the full scale is √2 times the mid's for the same displacement along the axis.
    const bool wall = channel == MeasureChannel::Left || channel == MeasureChannel::Right;
    const double axisPerSample = wall ? std::numbers::sqrt2 / 2 : 1.0;
    level.fullScaleLateralAmplitude =
        lowerDisplacement * 32768.0 / (lowerGain * lowerAmplitude * axisPerSample);
    for (const TestTone& tone : tones) {
        const double amplitude = lowerAmplitude * tone.level;
        level.inputAmplitudes.push_back(amplitude);
        level.displacements.push_back(recordingFilterGain(tone.frequency, sampleRate) * amplitude *
                                      axisPerSample * level.fullScaleLateralAmplitude / 32768.0);
    }
    return level;
}

std::vector<double> synthesiseTestSignal(const TestSignal& signal, const ChainLevel& level,
                                         std::int64_t frameCount, int sampleRate) {
    const std::vector<TestTone> tones = testTones(signal);
    std::vector<double> samples(static_cast<std::size_t>(std::max<std::int64_t>(frameCount, 0)));
    for (std::size_t t = 0; t < tones.size(); ++t) {
        const std::int64_t hertz = wholeHertz(tones[t].frequency);
        const long double amplitude = level.inputAmplitudes[t];
        for (std::int64_t m = 0; m < frameCount; ++m) {
            // Whole hertz: the phase reduces exactly to (f m mod fs) / fs of a turn.
            const long double turn =
                static_cast<long double>((hertz * m) % sampleRate) / sampleRate;
            samples[static_cast<std::size_t>(m)] +=
                static_cast<double>(amplitude * std::cos(kTwoPi * turn));
        }
    }
    // A raised-cosine fade-in keeps the tones' content near 0 Hz, which the recording filter's
    // 1 Hz pole would carry on for seconds, far below an abrupt start's.
    const std::int64_t fadeFrames = std::min<std::int64_t>(kMeasureFadeFrames, frameCount);
    for (std::int64_t m = 0; m < fadeFrames; ++m) {
        const long double rise = 0.5L - 0.5L * std::cos(std::numbers::pi_v<long double> *
                                                        static_cast<long double>(m) / fadeFrames);
        samples[static_cast<std::size_t>(m)] =
            static_cast<double>(samples[static_cast<std::size_t>(m)] * rise);
    }
    return samples;
}

namespace {

ChainSettings chainSettingsOf(const DiscParameters& disc, const MeasureModel& model) {
    ChainSettings settings;
    settings.sampleRate = model.sampleRate;
    settings.channelCount = model.channel == MeasureChannel::Mid ? 1 : 2;
    settings.disc = disc;
    settings.model = model.model;
    settings.stylus = model.angles;
    settings.tip = model.tip;
    return settings;
}

// The disc the signal is measured on: cut at the level the peak velocity asks for.
DiscParameters measuredDisc(const TestSignal& signal, const MeasurementConditions& conditions) {
    const ChainLevel level = chooseChainLevel(signal, conditions.peakVelocity, kMeasureSampleRate,
                                              conditions.model.channel);
    DiscParameters disc;
    disc.revolutionsPerMinute = conditions.revolutionsPerMinute;
    disc.grooveRadius = conditions.radius;
    disc.fullScaleLateralAmplitude = level.fullScaleLateralAmplitude;
    disc.trackingErrorDegrees = conditions.trackingErrorDegrees;
    return disc;
}

}  // namespace

ChainSettings measuredChainSettings(const TestSignal& signal,
                                    const MeasurementConditions& conditions) {
    return chainSettingsOf(measuredDisc(signal, conditions), conditions.model);
}

std::vector<double> renderThroughChain(const std::vector<double>& input, const DiscParameters& disc,
                                       const CoefficientSet& coefficients, int threadCount,
                                       const MeasureModel& model) {
    const MeasureChannel channel = model.channel;
    const int channels = channel == MeasureChannel::Mid ? 1 : 2;
    ChainSettings settings = chainSettingsOf(disc, model);
    settings.coefficients = &coefficients;
    settings.threadCount = threadCount;
    StreamingChain chain(settings);
    const std::int64_t total = static_cast<std::int64_t>(input.size());
    std::vector<double> frames(static_cast<std::size_t>(total * channels), 0.0);
    for (std::int64_t m = 0; m < total; ++m) {
        const double value = input[static_cast<std::size_t>(m)];
        if (channels == 1) {
            frames[static_cast<std::size_t>(m)] = value;
            continue;
        }
        double& left = frames[static_cast<std::size_t>(2 * m)];
        double& right = frames[static_cast<std::size_t>(2 * m + 1)];
        left = channel == MeasureChannel::Right ? 0.0 : value;
        right = channel == MeasureChannel::Left   ? 0.0
                : channel == MeasureChannel::Side ? -value
                                                  : value;
    }
    std::vector<double> output(frames.size());
    constexpr std::int64_t kBlock = 8192;
    std::int64_t pulled = 0;
    for (std::int64_t at = 0; at < total; at += kBlock) {
        chain.pushFrames(frames.data() + at * channels, std::min(kBlock, total - at));
        pulled += chain.pullFrames(output.data() + pulled * channels, total - pulled);
    }
    chain.finish();
    while (pulled < total) {
        const std::int64_t got =
            chain.pullFrames(output.data() + pulled * channels, total - pulled);
        if (got == 0) {
            break;
        }
        pulled += got;
    }
    if (channels == 1) {
        return output;
    }
    std::vector<double> read(static_cast<std::size_t>(total));
    for (std::int64_t m = 0; m < total; ++m) {
        const double left = output[static_cast<std::size_t>(2 * m)];
        const double right = output[static_cast<std::size_t>(2 * m + 1)];
        read[static_cast<std::size_t>(m)] = channel == MeasureChannel::Side   ? (left - right) / 2
                                            : channel == MeasureChannel::Left ? left
                                                                              : right;
    }
    return read;
}

double binAmplitude(const double* x, std::int64_t n, std::int64_t k) {
    const UnitCircle circle(n);
    return binAmplitudeOn(circle, x, n, k);
}

DistortionFigures analyseWindow(const TestSignal& signal, const double* window, std::int64_t n,
                                int sampleRate) {
    DistortionFigures figures;
    const UnitCircle circle(n);
    const std::vector<TestTone> tones = testTones(signal);
    const auto amplitudeAt = [&](double frequency) {
        return binAmplitudeOn(circle, window, n, binOf(frequency, n, sampleRate));
    };
    switch (signal.kind) {
        case SignalKind::Sine: {
            const double fundamental = amplitudeAt(signal.frequency);
            for (int h = 2; h <= 5; ++h) {
                if (h * signal.frequency < sampleRate / 2.0) {
                    figures.harmonics[h - 2] = amplitudeAt(h * signal.frequency) / fundamental;
                }
            }
            figures.thd = rootSumOfSquares(figures.harmonics.data(), figures.harmonics.size());
            break;
        }
        case SignalKind::Smpte: {
            const double f1 = tones[0].frequency;
            const double f2 = tones[1].frequency;
            double power = 0.0;
            for (int k = 1; k <= kSidebandOrders; ++k) {
                for (const int side : {-1, 1}) {
                    const double sideband = amplitudeAt(f2 + side * k * f1);
                    power += sideband * sideband;
                }
            }
            figures.imd = std::sqrt(power) / amplitudeAt(f2);
            break;
        }
        case SignalKind::Ccif: {
            const double f1 = tones[0].frequency;
            const double f2 = tones[1].frequency;
            figures.imd = amplitudeAt(f2 - f1) / (amplitudeAt(f1) + amplitudeAt(f2));
            break;
        }
        case SignalKind::Fm: {
            const double f1 = tones[0].frequency;
            const double f2 = tones[1].frequency;
            const double beta =
                phaseDeviation(window, n, binOf(f2, n, sampleRate), binOf(f1, n, sampleRate));
            figures.imd = beta * f1 / f2;
            break;
        }
    }
    return figures;
}

TracedHarmonics predictTracedHarmonics(double frequency, const MeasurementConditions& conditions,
                                       int sampleRate) {
    const MeasureModel& model = conditions.model;
    const MeasureChannel channel = model.channel;
    const TestSignal sine{SignalKind::Sine, frequency};
    const ChainLevel level =
        chooseChainLevel(sine, conditions.peakVelocity, sampleRate, model.channel);
    // The displacement along the channel's axis; a lateral or vertical one moves each wall by
    // 1/√2 of it.
    const bool wall = channel == MeasureChannel::Left || channel == MeasureChannel::Right;
    const double wallAmplitude =
        wall ? level.displacements[0] : level.displacements[0] / std::numbers::sqrt2;
    const double velocity = grooveVelocityAt(conditions.radius, conditions.revolutionsPerMinute);
    const std::vector<double> period =
        tracedSinePeriod(wallAmplitude, velocity / frequency, model.tip.tracingRadiusMm(), 1024);
    const double fundamental = harmonicAmplitude(period, 1);
    TracedHarmonics traced;
    const double gain = recordingFilterGain(frequency, sampleRate);
    for (int h = 2; h <= 5; ++h) {
        if (!(h * frequency < sampleRate / 2.0)) {
            continue;
        }
        // The playback equalisation undoes the recording filter's gain at each frequency.
        const double ratio = harmonicAmplitude(period, h) / fundamental * gain /
                             recordingFilterGain(h * frequency, sampleRate);
        // A lateral tone moves the walls in opposite phase, half a period apart: the lateral
        // (ŵ_in − ŵ_out)/√2 keeps the odd harmonics and the vertical (ŵ_in + ŵ_out)/√2 the even
        // ones, each √2 times the wall's; both walls alike (a vertical tone) keep them all.
        const bool even = h % 2 == 0;
        traced.channel[h - 2] = channel == MeasureChannel::Mid && even ? 0.0 : ratio;
        traced.pinch[h - 2] = channel == MeasureChannel::Mid && even ? ratio : 0.0;
    }
    return traced;
}

DistortionFigures predictFigures(const TestSignal& signal, const MeasurementConditions& conditions,
                                 int sampleRate) {
    DiscParameters disc;
    disc.revolutionsPerMinute = conditions.revolutionsPerMinute;
    disc.grooveRadius = conditions.radius;
    disc.trackingErrorDegrees = conditions.trackingErrorDegrees;
    const GrooveGeometry geometry = deriveGrooveGeometry(disc, sampleRate);
    const MeasureModel& model = conditions.model;
    const double slope = model.model == PickupModel::Stylus
                             ? static_cast<double>(verticalSlopeDifference(model.angles))
                             : 0.0;
    const ChannelTiming timing =
        channelTiming(model.channel, static_cast<double>(geometry.trackingTangent), slope);
    // Every figure below is that of a lateral displacement d moved by d·tan/v: here the
    // displacement along the model's own axis and the channel's timing factor.
    const double tangent = timing.factor;
    const double velocity = geometry.grooveVelocity;
    ChainLevel level = chooseChainLevel(signal, conditions.peakVelocity, sampleRate, model.channel);
    for (double& displacement : level.displacements) {
        displacement *= timing.scale;
    }
    const std::vector<TestTone> tones = testTones(signal);
    DistortionFigures figures;
    if (model.model == PickupModel::Stylus && !model.tip.point()) {
        // The tip's tracing: predicted for a sine where nothing else distorts it (the channel's
        // timing factor 0); where the timing moves the traced wall as well, the two combine and
        // neither series alone predicts the result.
        if (signal.kind == SignalKind::Sine && tangent == 0.0) {
            const TracedHarmonics traced =
                predictTracedHarmonics(signal.frequency, conditions, sampleRate);
            figures.harmonics = traced.channel;
            figures.thd = rootSumOfSquares(figures.harmonics.data(), figures.harmonics.size());
        }
        return figures;
    }
    switch (signal.kind) {
        case SignalKind::Sine: {
            const double e =
                modulationIndex(signal.frequency, level.displacements[0], tangent, velocity);
            if (!(std::fabs(e) < 1.0)) {
                break;  // the series holds only while the time axis stays monotonic
            }
            for (int h = 2; h <= 5; ++h) {
                if (h * signal.frequency < sampleRate / 2.0) {
                    figures.harmonics[h - 2] =
                        predictedHarmonicRatio(h, e, signal.frequency, sampleRate);
                }
            }
            figures.thd = rootSumOfSquares(figures.harmonics.data(), figures.harmonics.size());
            break;
        }
        case SignalKind::Smpte:
            figures.imd =
                predictedSidebandImd(tones[0].frequency, tones[1].frequency, level.displacements[0],
                                     tangent, velocity, kSidebandOrders, sampleRate);
            break;
        case SignalKind::Ccif:
            figures.imd = predictedDifferenceToneImd(tones[0].frequency, tones[1].frequency,
                                                     level.displacements[0], level.displacements[1],
                                                     tangent, velocity, sampleRate);
            break;
        case SignalKind::Fm:
            figures.imd = predictedPhaseModulation(tones[0].frequency, level.displacements[0],
                                                   tangent, velocity);
            break;
    }
    return figures;
}

PointResult measurePoint(const TestSignal& signal, const MeasurementConditions& conditions,
                         const CoefficientSet& coefficients, int threadCount) {
    const int sampleRate = kMeasureSampleRate;
    const MeasureModel& model = conditions.model;
    const ChainLevel level =
        chooseChainLevel(signal, conditions.peakVelocity, sampleRate, model.channel);
    const std::int64_t frames = kMeasureSkipFrames + kMeasureWindowFrames + kMeasureTailFrames;
    const std::vector<double> input = synthesiseTestSignal(signal, level, frames, sampleRate);
    const DiscParameters disc = measuredDisc(signal, conditions);
    const std::vector<double> output =
        renderThroughChain(input, disc, coefficients, threadCount, model);
    PointResult result;
    result.measured =
        analyseWindow(signal, output.data() + kMeasureSkipFrames, kMeasureWindowFrames, sampleRate);
    result.predicted = predictFigures(signal, conditions, sampleRate);
    const GrooveGeometry geometry = deriveGrooveGeometry(disc, sampleRate);
    const double slope = model.model == PickupModel::Stylus
                             ? static_cast<double>(verticalSlopeDifference(model.angles))
                             : 0.0;
    const ChannelTiming timing =
        channelTiming(model.channel, static_cast<double>(geometry.trackingTangent), slope);
    result.modulationIndex =
        modulationIndex(testTones(signal).front().frequency, level.displacements[0] * timing.scale,
                        timing.factor, geometry.grooveVelocity);
    return result;
}

std::vector<PointResult> measurePoints(const TestSignal& signal,
                                       const std::vector<MeasurementConditions>& points,
                                       const CoefficientSet& coefficients, int workers) {
    std::vector<PointResult> results(points.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < points.size(); i = next++) {
            results[i] = measurePoint(signal, points[i], coefficients, 1);
        }
    };
    const int threads = std::max(1, std::min<int>(workers, points.size()));
    std::vector<std::thread> helpers;
    for (int w = 1; w < threads; ++w) {
        helpers.emplace_back(work);
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return results;
}
