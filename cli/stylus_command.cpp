#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/arm_table.hpp"
#include "analysis/tracing_prediction.hpp"
#include "cli/commands.hpp"
#include "cli/geometry_options.hpp"
#include "cli/plot_file.hpp"
#include "dsp/tip_tracing.hpp"
#include "dsp/tonearm.hpp"

namespace {

struct StylusOptions {
    std::string stylus;
    std::string rpm = "33";
    double velocity = 5.0;      // cm/s, peak, along the wall
    double frequency = 1000.0;  // Hz
    std::string standard = "iec";
    bool compare = false;
    std::string plot;
    bool json = false;
    CLI::Option* stylusOption = nullptr;
};

// The tips --compare sets side by side, with the names they go by.
struct NamedTip {
    std::string name;
    StylusTip tip;
};

const char* const kComparedTips[][2] = {{"conical", "spherical:17.8"},
                                        {"elliptical", "elliptical:7x18"},
                                        {"line contact", "elliptical:3x18"}};

constexpr double kLowestFrequency = 10.0;
constexpr double kHighestFrequency = 50000.0;

// One radius of a tip's table.
struct StylusRow {
    double radius = 0.0;          // mm
    double grooveVelocity = 0.0;  // mm/s
    TracingPrediction prediction;
};

struct StylusSurvey {
    std::vector<NamedTip> tips;
    std::vector<std::vector<StylusRow>> rows;  // by tip, by radius
    double rpm = 0.0;
    PlayingArea area;
    const char* standard = "IEC";
};

StylusRow rowAt(const StylusTip& tip, const StylusOptions& options, double rpm, double radius) {
    StylusRow row;
    row.radius = radius;
    row.grooveVelocity = grooveVelocityAt(radius, rpm);
    row.prediction = predictTracing(
        {tip.tracingRadiusMm(), row.grooveVelocity, options.frequency, options.velocity * 10.0});
    return row;
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string speedText(double rpm) {
    return rpm == 100.0 / 3 ? std::string("33 1/3") : format("%g", rpm);
}

std::string describe(const NamedTip& named) {
    const StylusTip& tip = named.tip;
    if (tip.shape == StylusShape::Spherical) {
        return named.name + " (" + stylusTipText(tip) + "): spherical, radius " +
               format("%g", tip.scanningRadius) + " um";
    }
    return named.name + " (" + stylusTipText(tip) + "): scanning radius " +
           format("%g", tip.scanningRadius) + " um (traces), bearing radius " +
           format("%g", tip.bearingRadius) + " um";
}

// A figure as the table prints it: "-" for what is not a number.
std::string cell(const char* pattern, double value, int width) {
    std::string text = std::isfinite(value) ? format(pattern, value) : std::string("-");
    if (static_cast<int>(text.size()) < width) {
        text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
    }
    return text;
}

void printHeader(const StylusOptions& options, const StylusSurvey& survey) {
    std::printf(
        "Tracing of a %g Hz wall sine at %g cm/s peak, %s rpm, playing area %.3f to %.2f mm "
        "(%s)\n",
        options.frequency, options.velocity, speedText(survey.rpm).c_str(), survey.area.innerRadius,
        survey.area.outerRadius, survey.standard);
    for (const NamedTip& tip : survey.tips) {
        std::printf("  %s\n", describe(tip).c_str());
    }
}

void printTable(const std::vector<StylusRow>& rows) {
    std::printf("\n  radius  groove v   epsilon        h2        h3     pinch     f max\n");
    std::printf("      mm      mm/s                    %%         %%         %%        Hz\n");
    for (const StylusRow& row : rows) {
        const TracingPrediction& p = row.prediction;
        std::printf("%8.2f %9.1f %s %s %s %s %s%s\n", row.radius, row.grooveVelocity,
                    cell("%.4f", p.epsilon, 9).c_str(), cell("%.3f", 100 * p.h2, 9).c_str(),
                    cell("%.3f", 100 * p.h3, 9).c_str(), cell("%.3f", 100 * p.pinch, 9).c_str(),
                    cell("%.0f", p.maxFrequency, 9).c_str(), p.epsilon > 1 ? "  skates" : "");
    }
}

void printCompared(const StylusSurvey& survey) {
    std::printf("\n%8s %9s", "radius", "groove v");
    for (const NamedTip& tip : survey.tips) {
        std::printf("  %-26s", tip.name.c_str());
    }
    std::printf("\n%8s %9s", "mm", "mm/s");
    for (std::size_t k = 0; k < survey.tips.size(); ++k) {
        std::printf("  %8s %8s %8s", "epsilon", "h2 %", "f max Hz");
    }
    std::printf("\n");
    for (std::size_t r = 0; r < survey.rows.front().size(); ++r) {
        const StylusRow& first = survey.rows.front()[r];
        std::printf("%8.2f %9.1f", first.radius, first.grooveVelocity);
        for (const std::vector<StylusRow>& rows : survey.rows) {
            const TracingPrediction& p = rows[r].prediction;
            std::printf("  %s %s %s", cell("%.4f", p.epsilon, 8).c_str(),
                        cell("%.3f", 100 * p.h2, 8).c_str(),
                        cell("%.0f", p.maxFrequency, 8).c_str());
        }
        std::printf("\n");
    }
}

void printText(const StylusOptions& options, const StylusSurvey& survey) {
    printHeader(options, survey);
    if (options.compare) {
        printCompared(survey);
    } else {
        printTable(survey.rows.front());
    }
    std::printf(
        "\nepsilon: the tip's radius over the wall's smallest radius of curvature, "
        "rho*omega*V/v^2;\nh2, h3: harmonics of the traced wall sine as a velocity pickup gives "
        "them, before the playback equalisation;\npinch: the vertical second harmonic of a mono "
        "(lateral) tone of the same peak velocity, over its fundamental;\nf max: the highest "
        "frequency the tip follows at %g cm/s (epsilon = 1); above it the tip skates over the "
        "crests.\n",
        options.velocity);
    if (!options.plot.empty()) {
        std::printf("Plot written to %s\n", options.plot.c_str());
    }
}

// A number for JSON; null where it is not one.
nlohmann::json number(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

nlohmann::json tipJson(const StylusOptions& options, const StylusSurvey& survey, std::size_t k) {
    const NamedTip& named = survey.tips[k];
    nlohmann::json object;
    object["stylus"] = stylusTipText(named.tip);
    object["scanning_radius_um"] = named.tip.scanningRadius;
    object["bearing_radius_um"] = named.tip.bearingRadius;
    object["rpm"] = survey.rpm;
    object["frequency_hz"] = options.frequency;
    object["velocity_cm_s"] = options.velocity;
    object["inner_radius_mm"] = survey.area.innerRadius;
    object["outer_radius_mm"] = survey.area.outerRadius;
    nlohmann::json rows = nlohmann::json::array();
    for (const StylusRow& row : survey.rows[k]) {
        const TracingPrediction& p = row.prediction;
        rows.push_back({{"radius_mm", row.radius},
                        {"groove_velocity_mm_s", number(row.grooveVelocity)},
                        {"epsilon", number(p.epsilon)},
                        {"h2_percent", number(100 * p.h2)},
                        {"h3_percent", number(100 * p.h3)},
                        {"pinch_h2_percent", number(100 * p.pinch)},
                        {"max_frequency_hz", number(p.maxFrequency)}});
    }
    object["rows"] = rows;
    return object;
}

nlohmann::json surveyJson(const StylusOptions& options, const StylusSurvey& survey) {
    if (!options.compare) {
        return tipJson(options, survey, 0);
    }
    nlohmann::json document;
    document["styli"] = nlohmann::json::array();
    for (std::size_t k = 0; k < survey.tips.size(); ++k) {
        nlohmann::json object = tipJson(options, survey, k);
        object["name"] = survey.tips[k].name;
        document["styli"].push_back(object);
    }
    return document;
}

PlotFigure stylusFigure(const StylusOptions& options, const StylusSurvey& survey) {
    PlotFigure figure;
    figure.title = "What the tip follows, " + format("%g", options.velocity) + " cm/s peak, " +
                   speedText(survey.rpm) + " rpm";
    PlotPanel followable;
    followable.title = "Highest frequency followed (epsilon = 1); dashed: the test tone, " +
                       format("%g", options.frequency) + " Hz";
    followable.xLabel = "groove radius (mm)";
    followable.yLabel = "frequency (Hz)";
    followable.logY = true;
    PlotPanel distortion;
    distortion.title = "Predicted tracing second harmonic of a " + format("%g", options.frequency) +
                       " Hz wall sine (velocity)";
    distortion.xLabel = "groove radius (mm)";
    distortion.yLabel = "h2 (%)";
    const int steps = 60;
    for (std::size_t k = 0; k < survey.tips.size(); ++k) {
        PlotSeries frequency;
        const NamedTip& named = survey.tips[k];
        const std::string text = stylusTipText(named.tip);
        frequency.label = text.rfind(named.name, 0) == 0 ? text : named.name + ", " + text;
        frequency.colour = static_cast<int>(k);
        PlotSeries h2 = frequency;
        for (int i = 0; i <= steps; ++i) {
            const double radius = survey.area.innerRadius +
                                  (survey.area.outerRadius - survey.area.innerRadius) * i / steps;
            const StylusRow row = rowAt(survey.tips[k].tip, options, survey.rpm, radius);
            frequency.x.push_back(radius);
            frequency.y.push_back(row.prediction.maxFrequency);
            h2.x.push_back(radius);
            h2.y.push_back(100 * row.prediction.h2);
        }
        followable.series.push_back(frequency);
        distortion.series.push_back(h2);
    }
    PlotSeries tone;
    tone.colour = static_cast<int>(survey.tips.size());
    tone.dashed = true;
    tone.x = {survey.area.innerRadius, survey.area.outerRadius};
    tone.y = {options.frequency, options.frequency};
    followable.series.push_back(tone);
    figure.panels = {followable, distortion};
    return figure;
}

StylusTip tipFrom(const std::string& text) {
    std::string message;
    const std::optional<StylusTip> tip = parseStylusTip(text, message);
    if (!tip) {
        usageError("--stylus " + message);
    }
    return *tip;
}

int runStylus(const StylusOptions& options) {
    StylusSurvey survey;
    const bool given = options.stylusOption->count() > 0;
    if (!given && !options.compare) {
        usageError("no tip: give --stylus, e.g. --stylus spherical:17.8, or --compare");
    }
    if (given) {
        const StylusTip tip = tipFrom(options.stylus);
        if (tip.point()) {
            usageError(
                "--stylus point: a point follows the groove exactly, there is nothing to "
                "trace; give spherical:R or elliptical:R1xR2");
        }
        survey.tips.push_back(
            {tip.shape == StylusShape::Spherical ? "spherical" : "elliptical", tip});
    }
    if (options.compare) {
        for (const auto& compared : kComparedTips) {
            const StylusTip tip = tipFrom(compared[1]);
            if (!given || stylusTipText(tip) != stylusTipText(survey.tips.front().tip)) {
                survey.tips.push_back({compared[0], tip});
            } else {
                survey.tips.front().name = compared[0];
            }
        }
    }
    if (!parseRevolutionsPerMinute(options.rpm, survey.rpm)) {
        usageError("--rpm " + options.rpm + ": not 33, 45, 78 or a positive speed");
    }
    if (!std::isfinite(options.velocity) || !(options.velocity > 0.0)) {
        usageError("--velocity " + format("%g", options.velocity) +
                   ": not a positive velocity in cm/s");
    }
    if (!(options.frequency >= kLowestFrequency && options.frequency <= kHighestFrequency)) {
        usageError("--frequency " + format("%g", options.frequency) + ": not a frequency from " +
                   format("%g", kLowestFrequency) + " to " + format("%g", kHighestFrequency) +
                   " Hz");
    }
    if (options.standard == "iec") {
        survey.area = standardPlayingArea(GrooveStandard::Iec);
    } else if (options.standard == "din") {
        survey.area = standardPlayingArea(GrooveStandard::Din);
        survey.standard = "DIN";
    } else {
        usageError("--standard " + options.standard + ": not iec or din");
    }
    const std::vector<double> radii = tableRadii(survey.area, {});
    for (const NamedTip& tip : survey.tips) {
        std::vector<StylusRow> rows;
        for (const double radius : radii) {
            rows.push_back(rowAt(tip.tip, options, survey.rpm, radius));
        }
        survey.rows.push_back(rows);
    }
    return finishReport(
        options.plot, [&] { return stylusFigure(options, survey); }, options.json,
        [&] { return surveyJson(options, survey); }, [&] { printText(options, survey); });
}

}  // namespace

Subcommand addStylusCommand(CLI::App& program) {
    auto options = std::make_shared<StylusOptions>();
    CLI::App* command = program.add_subcommand(
        "stylus",
        "What a tip's shape does to the groove it reads: by radius over the playing area, the "
        "curvature ratio of a wall sine, its predicted tracing distortion and pinch, and the "
        "highest frequency the tip can follow.");
    options->stylusOption =
        command
            ->add_option("--stylus", options->stylus,
                         "The tip: spherical:R (a conical tip's spherical end) or "
                         "elliptical:R1xR2 (elliptical and line-contact tips: R1 the scanning "
                         "radius along the groove, which traces, R2 the bearing radius "
                         "across it), radii in micrometres")
            ->type_name("SHAPE");
    command
        ->add_option("--rpm", options->rpm,
                     "Rotational speed: 33 (exactly 100/3, the default), 45, 78 (78.26) or any "
                     "other positive number")
        ->type_name("R");
    command
        ->add_option("--velocity", options->velocity,
                     "Peak velocity of the test sine along the wall, in cm/s (default 5)")
        ->type_name("CM_S");
    command
        ->add_option("--frequency", options->frequency,
                     "Frequency of the test sine in Hz, 10 to 50000 (default 1000)")
        ->type_name("HZ");
    command
        ->add_option("--standard", options->standard,
                     "The playing area: iec (60.325 to 146.05 mm, the default) or din (57.5 to "
                     "146.05 mm)")
        ->type_name("iec|din");
    command->add_flag("--compare", options->compare,
                      "Set conical 17.8 (spherical:17.8), elliptical 7x18 and line contact 3x18 "
                      "side by side (after the tip given with --stylus)");
    command
        ->add_option("--plot", options->plot,
                     "Draw the highest followable frequency and h2 against radius into a PNG or "
                     "SVG file (by its ending)")
        ->type_name("FILE");
    command->add_flag("--json", options->json,
                      "Print the table as one JSON object: {\"stylus\", \"rows\": [{\"radius_mm\", "
                      "\"groove_velocity_mm_s\", \"epsilon\", \"h2_percent\", \"h3_percent\", "
                      "\"pinch_h2_percent\", \"max_frequency_hz\"}]}; with --compare, "
                      "{\"styli\": [...]}, each object with its \"name\"");
    command->footer(
        "A tip of radius rho rests on each groove wall with its curved face: its centre follows "
        "the envelope of the tip rolling along the wall, not the wall. For a wall sine of peak "
        "velocity V at angular frequency omega on a groove moving at v, the curvature ratio "
        "epsilon = rho*omega*V/v^2 is the tip's radius over the wall's smallest radius of "
        "curvature. The tracing distortion grows with it (second harmonic about epsilon/2 of a "
        "velocity pickup's output); at epsilon = 1, f = v^2/(2*pi*rho*V), the tip no longer "
        "fits into the troughs and skates over the crests. Inner grooves are slower, so the "
        "figures grow toward the label.\n\nExamples:\n  cartrivex-cli stylus --stylus "
        "spherical:17.8\n  cartrivex-cli stylus --compare --velocity 5 --plot tips.png\n  "
        "cartrivex-cli stylus --stylus elliptical:7x18 --frequency 10000 --rpm 45 --json\n\n"
        "Exit codes: 0 done, 1 a file could not be written, 2 a usage error.");
    return {command, [options] { return runStylus(*options); }};
}
