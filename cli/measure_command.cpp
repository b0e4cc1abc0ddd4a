#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/arm_table.hpp"
#include "analysis/distortion_analysis.hpp"
#include "cli/cli_options.hpp"
#include "cli/commands.hpp"
#include "cli/geometry_options.hpp"
#include "cli/plot_file.hpp"
#include "cli/stylus_options.hpp"
#include "dsp/coefficient_set.hpp"
#include "dsp/tonearm.hpp"
#include "files/safe_output.hpp"
#include "files/text_file.hpp"

namespace {

struct MeasureOptions {
    GeometryOptions geometry;
    StylusOptions stylus;
    std::string channel = "mid";
    std::string signal = "sine:1000";
    double velocity = 10.0;  // cm/s, peak along the channel's axis, of the lower tone
    std::string radii;
    bool compare = false;
    std::string csv;
    std::string plot;
    bool json = false;
};

struct Row {
    double radius = 0.0;
    double error = 0.0;
    PointResult result;
};

// One arm (or fixed angle) measured at every radius, read as `model` says.
struct Curve {
    SideGeometry geometry;
    std::vector<Row> rows;
    StylusChoice stylus;
};

// The channel, and the model each curve is read with: a channel other than the mid selects the
// stylus model, since the lateral one reads the side untouched.
MeasureChannel resolveModels(const MeasureOptions& options, std::vector<Curve>& curves) {
    MeasureChannel channel = MeasureChannel::Mid;
    if (!parseMeasureChannel(options.channel, channel)) {
        usageError("--channel " + options.channel + ": the channels are mid, side, left and right");
    }
    const bool lateralAsked =
        options.stylus.modelOption->count() > 0 && options.stylus.model == "lateral";
    if (channel != MeasureChannel::Mid && lateralAsked) {
        usageError("--channel " + options.channel +
                   ": the lateral model reads the side untouched; leave out --model lateral");
    }
    StylusOptions stylus = options.stylus;
    if (channel != MeasureChannel::Mid && stylus.model.empty()) {
        stylus.model = "stylus";
    }
    for (Curve& curve : curves) {
        std::string message;
        const bool fixed = curve.geometry.arm.kind == Tonearm::Kind::FixedAngle;
        if (!resolveStylus(stylus, fixed ? nullptr : &curve.geometry.arm, curve.stylus, message)) {
            usageError(message);
        }
    }
    return channel;
}

std::string text(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

bool parseRadii(const std::string& list, std::vector<double>& radii, std::string& message) {
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        char* end = nullptr;
        const double radius = std::strtod(item.c_str(), &end);
        if (item.empty() || end != item.c_str() + item.size() || !std::isfinite(radius) ||
            !(radius > 0.0)) {
            message = "--radii " + list + ": '" + item + "' is not a positive radius in mm";
            return false;
        }
        radii.push_back(radius);
    }
    if (radii.empty()) {
        message = "--radii: no radius given";
        return false;
    }
    return true;
}

const char* const kHarmonicKeys[4] = {"h2_percent", "h3_percent", "h4_percent", "h5_percent"};

// The figures that apply, in percent, under the JSON keys.
nlohmann::json figuresJson(const DistortionFigures& figures) {
    nlohmann::json object = nlohmann::json::object();
    for (int h = 0; h < 4; ++h) {
        if (!std::isnan(figures.harmonics[h])) {
            object[kHarmonicKeys[h]] = 100 * figures.harmonics[h];
        }
    }
    if (!std::isnan(figures.thd)) {
        object["thd_percent"] = 100 * figures.thd;
    }
    if (!std::isnan(figures.imd)) {
        object["imd_percent"] = 100 * figures.imd;
    }
    return object;
}

nlohmann::json rowsJson(const Curve& curve) {
    nlohmann::json rows = nlohmann::json::array();
    for (const Row& row : curve.rows) {
        nlohmann::json object = figuresJson(row.result.measured);
        object["radius_mm"] = row.radius;
        object["error_deg"] = row.error;
        object["predicted"] = figuresJson(row.result.predicted);
        rows.push_back(object);
    }
    return rows;
}

std::string percentCell(double ratio) {
    return std::isnan(ratio) ? std::string("-") : text("%.4g", 100 * ratio);
}

std::string csvText(const std::vector<Curve>& curves, const TestSignal& signal) {
    const bool sine = signal.kind == SignalKind::Sine;
    std::string out = "alignment,radius_mm,error_deg";
    const std::vector<std::string> keys =
        sine ? std::vector<std::string>{"h2_percent", "h3_percent", "h4_percent", "h5_percent",
                                        "thd_percent"}
             : std::vector<std::string>{"imd_percent"};
    for (const std::string& key : keys) {
        out += "," + key;
    }
    for (const std::string& key : keys) {
        out += ",predicted_" + key;
    }
    out += "\n";
    const auto cells = [&](const DistortionFigures& figures) {
        std::string line;
        if (sine) {
            for (double h : figures.harmonics) {
                line += "," + (std::isnan(h) ? std::string() : text("%.9g", 100 * h));
            }
            line += "," + text("%.9g", 100 * figures.thd);
        } else {
            line += "," + text("%.9g", 100 * figures.imd);
        }
        return line;
    };
    for (const Curve& curve : curves) {
        for (const Row& row : curve.rows) {
            out += curve.geometry.name + "," + text("%.6g", row.radius) + "," +
                   text("%.6g", row.error) + cells(row.result.measured) +
                   cells(row.result.predicted) + "\n";
        }
    }
    return out;
}

void printTable(const Curve& curve, const TestSignal& signal) {
    const bool sine = signal.kind == SignalKind::Sine;
    if (sine) {
        std::printf("%9s %8s %8s  %-21s %-21s %-21s %-21s %-21s %8s\n", "radius mm", "error", "e",
                    "H2 % (predicted)", "H3 % (predicted)", "H4 % (predicted)", "H5 % (predicted)",
                    "THD % (predicted)", "THD dB");
    } else {
        std::printf("%9s %8s %8s  %-12s %-12s\n", "radius mm", "error", "e", "IMD %",
                    "predicted %");
    }
    for (const Row& row : curve.rows) {
        const DistortionFigures& m = row.result.measured;
        const DistortionFigures& p = row.result.predicted;
        std::printf("%9.2f %8.3f %8.5f ", row.radius, row.error, row.result.modulationIndex);
        if (sine) {
            for (int h = 0; h < 4; ++h) {
                const std::string cell =
                    percentCell(m.harmonics[h]) + " (" + percentCell(p.harmonics[h]) + ")";
                std::printf(" %-21s", cell.c_str());
            }
            const std::string cell = percentCell(m.thd) + " (" + percentCell(p.thd) + ")";
            std::printf(" %-21s %8.2f\n", cell.c_str(), 20 * std::log10(m.thd));
        } else {
            std::printf(" %-12s %-12s\n", percentCell(m.imd).c_str(), percentCell(p.imd).c_str());
        }
    }
}

// How the curves were read, for titles: "" for the lateral model's mid, else " (stylus: side, VTA
// 25, cut 20)".
std::string readingText(const Curve& curve, MeasureChannel channel) {
    if (curve.stylus.model == PickupModel::Lateral) {
        return "";
    }
    return std::string(" (stylus: ") + measureChannelName(channel) + ", VTA " +
           text("%g", curve.stylus.angles.verticalTrackingDegrees) + ", cut " +
           text("%g", curve.stylus.angles.cuttingDegrees) + ")";
}

PlotFigure measureFigure(const std::vector<Curve>& curves, const TestSignal& signal,
                         double velocity, MeasureChannel channel) {
    const bool sine = signal.kind == SignalKind::Sine;
    PlotPanel panel;
    panel.title = std::string(sine ? "THD" : "Intermodulation") + " of " + testSignalName(signal) +
                  " at " + text("%g", velocity) + " cm/s" + readingText(curves.front(), channel) +
                  ": measured (solid) and predicted (dashed)";
    panel.xLabel = "groove radius (mm)";
    panel.yLabel = sine                            ? "THD (%)"
                   : signal.kind == SignalKind::Fm ? "phase modulation (%)"
                                                   : "IMD (%)";
    for (std::size_t c = 0; c < curves.size(); ++c) {
        PlotSeries measured;
        PlotSeries predicted;
        // Baerwald published Lofgren's alignment A: with both, one curve covers the other.
        const bool twin = curves[c].geometry.name == "baerwald" &&
                          std::any_of(curves.begin(), curves.end(), [](const Curve& other) {
                              return other.geometry.name == "lofgren-a";
                          });
        const std::string name = curves[c].geometry.name + (twin ? " (= lofgren-a)" : "");
        measured.label = name + " measured";
        predicted.label = name + " predicted";
        measured.colour = predicted.colour = static_cast<int>(c);
        predicted.dashed = true;
        for (const Row& row : curves[c].rows) {
            const double m = sine ? row.result.measured.thd : row.result.measured.imd;
            const double p = sine ? row.result.predicted.thd : row.result.predicted.imd;
            measured.x.push_back(row.radius);
            measured.y.push_back(100 * m);
            predicted.x.push_back(row.radius);
            predicted.y.push_back(100 * p);
        }
        panel.series.push_back(measured);
        panel.series.push_back(predicted);
    }
    PlotFigure figure;
    figure.title = "Tracking-error distortion measured from the rendered audio";
    figure.panels = {panel};
    return figure;
}

// The signal, after the options that no geometry needs are checked.
TestSignal checkedSignal(const MeasureOptions& options) {
    if (!std::isfinite(options.velocity) || !(options.velocity > 0.0)) {
        usageError("--velocity " + text("%g", options.velocity) +
                   ": not a positive velocity in cm/s");
    }
    TestSignal signal;
    std::string message;
    if (!parseTestSignal(options.signal, signal, message)) {
        usageError("--signal " + options.signal + ": " + message);
    }
    const GeometryOptions& geometry = options.geometry;
    if (geometry.fromOption->count() > 0 || geometry.toOption->count() > 0) {
        usageError(
            "--from/--to: measure holds the radius still at each point; give --radii "
            "LIST or --radius R");
    }
    if (geometry.radiusOption->count() > 0 && !options.radii.empty()) {
        usageError("--radius and --radii exclude each other");
    }
    return signal;
}

// Every geometry at every radius: --radii, --radius, or every 5 mm over the playing area with
// both ends and the nulls.
std::vector<Curve> curvesOf(const MeasureOptions& options,
                            const std::vector<SideGeometry>& geometries) {
    std::vector<double> radii;
    std::string message;
    if (!options.radii.empty()) {
        if (!parseRadii(options.radii, radii, message)) {
            usageError(message);
        }
    } else if (geometries.front().sideGiven) {
        radii = {geometries.front().fromRadius};
    } else {
        std::vector<NullRadii> nulls;
        for (const SideGeometry& geometry : geometries) {
            if (geometry.pivoted) {
                nulls.push_back(geometry.alignment.nulls);
            }
        }
        radii = tableRadii(geometries.front().area, nulls);
    }
    std::vector<Curve> curves;
    for (const SideGeometry& geometry : geometries) {
        Curve curve{geometry, {}, {}};
        for (double radius : radii) {
            Row row;
            row.radius = radius;
            row.error = trackingErrorDegrees(geometry.arm, radius);
            if (!std::isfinite(row.error)) {
                usageError("the " + geometry.name + " arm cannot reach the radius " +
                           text("%g", radius) + " mm");
            }
            curve.rows.push_back(row);
        }
        curves.push_back(curve);
    }
    return curves;
}

// Every point rendered and measured, the points shared among the worker threads.
void measureCurves(std::vector<Curve>& curves, const TestSignal& signal, double peakVelocity,
                   MeasureChannel channel, const CoefficientSet& coefficients) {
    std::vector<MeasurementConditions> points;
    for (const Curve& curve : curves) {
        for (const Row& row : curve.rows) {
            MeasurementConditions conditions;
            conditions.radius = row.radius;
            conditions.trackingErrorDegrees = row.error;
            conditions.revolutionsPerMinute = curve.geometry.revolutionsPerMinute;
            conditions.peakVelocity = peakVelocity;
            conditions.model.model = curve.stylus.model;
            conditions.model.angles = curve.stylus.angles;
            conditions.model.tip = curve.stylus.tip;
            conditions.model.channel = channel;
            points.push_back(conditions);
        }
    }
    for (const MeasurementConditions& conditions : points) {
        std::string message;
        if (!tipTraceable(measuredChainSettings(signal, conditions), message)) {
            usageError("--stylus " + message);
        }
    }
    const std::vector<PointResult> results =
        measurePoints(signal, points, coefficients, defaultThreadCount());
    std::size_t next = 0;
    for (Curve& curve : curves) {
        for (Row& row : curve.rows) {
            row.result = results[next++];
        }
    }
}

nlohmann::json measureJson(const MeasureOptions& options, const std::vector<Curve>& curves,
                           const TestSignal& signal, MeasureChannel channel) {
    nlohmann::json document;
    document["signal"] = testSignalName(signal);
    document["channel"] = measureChannelName(channel);
    if (options.compare) {
        document["alignments"] = nlohmann::json::array();
        for (const Curve& curve : curves) {
            nlohmann::json alignment = {{"alignment", curve.geometry.name}};
            addStylusJson(curve.stylus, alignment);
            alignment["rows"] = rowsJson(curve);
            document["alignments"].push_back(alignment);
        }
    } else {
        addStylusJson(curves.front().stylus, document);
        document["rows"] = rowsJson(curves.front());
    }
    return document;
}

void printText(const MeasureOptions& options, const std::vector<Curve>& curves,
               const TestSignal& signal, MeasureChannel channel) {
    for (const Curve& curve : curves) {
        std::printf("%s%s, %s at %g cm/s peak (lower tone), %s rpm%s\n",
                    &curve == &curves.front() ? "" : "\n", curve.geometry.name.c_str(),
                    testSignalName(signal).c_str(), options.velocity,
                    text("%g", curve.geometry.revolutionsPerMinute).c_str(),
                    readingText(curve, channel).c_str());
        printTable(curve, signal);
    }
    std::printf(
        "\nerror: tracking error in degrees; e: the lower tone's modulation index "
        "w Y k / v, k = tan(error) for the mid, -D for the side, tan(error) -/+ D for left and "
        "right (D = tan(VTA) - tan(cutting angle)).\n");
    if (!options.csv.empty()) {
        std::printf("Table written to %s\n", options.csv.c_str());
    }
    if (!options.plot.empty()) {
        std::printf("Plot written to %s\n", options.plot.c_str());
    }
}

int runMeasure(const MeasureOptions& options) {
    const TestSignal signal = checkedSignal(options);
    std::vector<SideGeometry> geometries;
    std::string message;
    if (!resolveGeometries(options.geometry, options.compare, geometries, message)) {
        usageError(message);
    }
    std::vector<Curve> curves = curvesOf(options, geometries);
    const MeasureChannel channel = resolveModels(options, curves);

    // An interruption leaves no half-written CSV or plot behind.
    installOutputSignalHandlers();
    CoefficientSet coefficients;
    if (!loadCoefficientSet(programDirectory(), coefficients, message)) {
        fileError(message);
    }
    measureCurves(curves, signal, options.velocity * 10.0, channel, coefficients);

    if (!options.plot.empty()) {
        writePlotFile(measureFigure(curves, signal, options.velocity, channel), options.plot);
    }
    std::string reason;
    if (!options.csv.empty() && !writeTextFile(options.csv, csvText(curves, signal), reason)) {
        fileError("cannot write " + options.csv + ": " + reason);
    }
    if (options.json) {
        std::cout << measureJson(options, curves, signal, channel).dump(2) << "\n";
    } else {
        printText(options, curves, signal, channel);
    }
    finishStandardOutput();
    return kExitWritten;
}

}  // namespace

Subcommand addMeasureCommand(CLI::App& program) {
    auto options = std::make_shared<MeasureOptions>();
    CLI::App* command = program.add_subcommand(
        "measure",
        "Render test signals through the whole chain at each radius and measure the distortion "
        "from the audio, with the theory's prediction beside each figure.");
    addGeometryOptions(*command, options->geometry);
    command
        ->add_option("--signal", options->signal,
                     "sine:FREQ (default sine:1000; H2..H5 and THD), smpte (60 Hz and 7 kHz 4:1; "
                     "sidebands 7 kHz +- 60, 120, 180 Hz, root sum of squares over the 7 kHz "
                     "tone), ccif (19 and 20 kHz 1:1; the 1 kHz difference tone over the sum of "
                     "both tones) or fm (400 Hz and 4 kHz 4:1; the 4 kHz tone's phase "
                     "modulation at 400 Hz as its peak frequency deviation over 4 kHz)")
        ->type_name("SIGNAL");
    command
        ->add_option("--velocity", options->velocity,
                     "Peak velocity of the (lower) tone in cm/s along the channel's axis: "
                     "lateral for mid, vertical for side, the wall's own for left and right "
                     "(default 10)")
        ->type_name("CM_S");
    command
        ->add_option("--radii", options->radii,
                     "Comma-separated groove radii in mm (default: every 5 mm over the playing "
                     "area, both ends and the nulls)")
        ->type_name("LIST");
    command->add_flag("--compare", options->compare,
                      "Measure baerwald, lofgren-a, lofgren-b and stevenson for the same "
                      "pivot-to-spindle distance (and the arm given with --arm)");
    command
        ->add_option("--channel", options->channel,
                     "Where the test signal is cut: mid (the default; lateral, L = R), side "
                     "(vertical, L = -R), left or right (one wall, the other channel silent); "
                     "side, left and right select the stylus model")
        ->type_name("mid|side|left|right");
    addStylusOptions(*command, options->stylus);
    command->add_option("--csv", options->csv, "Also write the table as CSV")->type_name("FILE");
    command
        ->add_option("--plot", options->plot,
                     "Draw the measured distortion against radius, the prediction dashed, into "
                     "a PNG or SVG file (by its ending)")
        ->type_name("FILE");
    command->add_flag("--json", options->json,
                      "Print {\"signal\", \"channel\", \"model\", \"rows\": [...]} as JSON "
                      "(with --compare: {\"signal\", \"channel\", \"alignments\": "
                      "[{\"alignment\", \"model\", \"rows\"}]}); the stylus model adds "
                      "vta_deg, cutting_angle_deg and stylus (the tip)");
    command->footer(
        std::string(kTrackingErrorSignText) +
        "\n\nHow it measures: the tones sit on whole hertz and are read from a one-second "
        "window of the float output at 44.1 kHz (coherent sampling, no dither), after a "
        "quarter-second fade-in and half a second of start-up. The input peaks at -6 dB of full "
        "scale and the groove's full-scale amplitude is set so that the lower tone has the asked "
        "velocity after the recording filter.\n\nFloor: rendered at 0 degrees the chain leaves "
        "every figure below -280 dB (1e-12 %). With a tracking error, products of the chain's "
        "own interpolation remain near -150 dB of the fundamental (3e-6 %), so harmonics below "
        "about -140 dB are the chain's, not the arm's. Sines at 1 kHz and 150 Hz agree with "
        "the prediction to 0.01 dB wherever a harmonic is above -100 dB.\n\nExample: "
        "cartrivex-cli measure --alignment baerwald --mounting 222 --compare --plot thd.png\n"
        "cartrivex-cli measure --angle 0 --radius 60.325 --channel side --vta 25 --signal fm "
        "--velocity 5\n\n" +
        std::string(kStylusModelText) +
        "\n\n"
        "Exit codes: 0 done, 1 a file could not be read or written, 2 a usage error.");
    return {command, [options] { return runMeasure(*options); }};
}
