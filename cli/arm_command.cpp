#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/commands.hpp"
#include "cli/geometry_options.hpp"
#include "dsp/tonearm.hpp"
#include "plot/plot.hpp"

namespace {

// The playback equalisation is judged at 1 kHz: its second harmonic is played back at the gain
// of 2 kHz relative to that of the fundamental.
constexpr double kFundamentalHz = 1000.0;

struct ArmOptions {
    GeometryOptions geometry;
    double velocity = 10.0;  // cm/s, peak lateral
    bool compare = false;
    std::string plot;
    bool json = false;
};

// One arm over the playing area.
struct ArmReport {
    std::string name;
    SideGeometry geometry;
    double maxError = 0.0;  // degrees, the largest |alpha|, signed
    double maxErrorRadius = 0.0;
    double maxWeighted = 0.0;  // degrees per cm, the largest |alpha/r|, signed
    double maxWeightedRadius = 0.0;
};

struct Row {
    double radius = 0.0;
    double error = 0.0;
    double weighted = 0.0;
    double grooveVelocity = 0.0;
    double h2 = 0.0;
    double h2Equalised = 0.0;
};

double errorAt(const SideGeometry& geometry, double radius) {
    return trackingErrorDegrees(geometry.arm, radius);
}

// alpha / r in degrees per centimetre.
double weightedAt(const SideGeometry& geometry, double radius) {
    return errorAt(geometry, radius) / (radius / 10.0);
}

// The extremes over the playing area, on a grid of 100000 steps (under a micrometre) and both
// ends: the error is smooth, so the grid finds the peaks to well within the printed digits.
void findExtremes(ArmReport& report) {
    const PlayingArea& area = report.geometry.area;
    const int steps = 100000;
    report.maxError = 0.0;
    report.maxWeighted = 0.0;
    report.maxErrorRadius = area.innerRadius;
    report.maxWeightedRadius = area.innerRadius;
    for (int i = 0; i <= steps; ++i) {
        const double radius =
            i == steps ? area.outerRadius
                       : area.innerRadius + (area.outerRadius - area.innerRadius) * i / steps;
        const double error = errorAt(report.geometry, radius);
        const double weighted = weightedAt(report.geometry, radius);
        if (std::fabs(error) > std::fabs(report.maxError)) {
            report.maxError = error;
            report.maxErrorRadius = radius;
        }
        if (std::fabs(weighted) > std::fabs(report.maxWeighted)) {
            report.maxWeighted = weighted;
            report.maxWeightedRadius = radius;
        }
    }
}

// Every 5 mm within the playing area, both ends and the nulls of every arm, ascending.
std::vector<double> tableRadii(const std::vector<ArmReport>& reports) {
    const PlayingArea& area = reports.front().geometry.area;
    std::vector<double> radii{area.innerRadius, area.outerRadius};
    for (double radius = std::ceil(area.innerRadius / 5.0) * 5.0; radius < area.outerRadius;
         radius += 5.0) {
        radii.push_back(radius);
    }
    for (const ArmReport& report : reports) {
        if (report.geometry.pivoted) {
            radii.push_back(report.geometry.alignment.nulls.inner);
            radii.push_back(report.geometry.alignment.nulls.outer);
        }
    }
    std::sort(radii.begin(), radii.end());
    radii.erase(std::unique(radii.begin(), radii.end(),
                            [](double a, double b) { return std::fabs(a - b) < 0.005; }),
                radii.end());
    return radii;
}

Row rowAt(const ArmReport& report, double radius, double peakVelocity, double equalisation) {
    Row row;
    row.radius = radius;
    row.error = errorAt(report.geometry, radius);
    row.weighted = weightedAt(report.geometry, radius);
    row.grooveVelocity = grooveVelocityAt(radius, report.geometry.revolutionsPerMinute);
    row.h2 = predictedSecondHarmonicPercent(peakVelocity, row.grooveVelocity, row.error);
    row.h2Equalised = row.h2 * equalisation;
    return row;
}

// `value` as printed with `decimals` decimals, without the minus sign of a value that rounds to
// zero.
double shown(double value, int decimals) {
    return std::fabs(value) < 0.5 * std::pow(10.0, -decimals) ? 0.0 : value;
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string speedText(double rpm) {
    return rpm == 100.0 / 3 ? std::string("33 1/3") : format("%g", rpm);
}

const char* standardText(const PlayingArea& area) {
    return area.innerRadius == standardPlayingArea(GrooveStandard::Din).innerRadius ? "DIN" : "IEC";
}

std::string describe(const ArmReport& report) {
    const SideGeometry& g = report.geometry;
    if (g.name == "linear") {
        return "a tangential (linear) tracker";
    }
    if (g.name == "angle") {
        return "a fixed tracking error of " + format("%g", g.arm.fixedAngleDegrees) + " degrees";
    }
    if (g.name == "arm") {
        return "the arm as given";
    }
    return "the " + g.name + " alignment";
}

void printGeometry(const ArmReport& report) {
    const SideGeometry& g = report.geometry;
    std::printf("Geometry: %s\n", describe(report).c_str());
    if (g.pivoted) {
        const ArmAlignment& a = g.alignment;
        std::printf("  effective length      %9.2f mm\n", a.effectiveLength);
        std::printf("  pivot to spindle      %9.2f mm\n", a.pivotToSpindle);
        std::printf("  offset angle          %9.2f degrees\n", a.offsetDegrees);
        std::printf("  overhang              %9.2f mm\n",
                    overhang(a.effectiveLength, a.pivotToSpindle));
        std::printf("  null radii            %9.2f and %.2f mm\n", a.nulls.inner, a.nulls.outer);
    }
    std::printf("  playing area          %9.3f to %.2f mm (%s)\n", g.area.innerRadius,
                g.area.outerRadius, standardText(g.area));
    if (g.pivoted) {
        std::printf("  largest |error|       %9.3f degrees at %.2f mm\n", report.maxError,
                    report.maxErrorRadius);
    } else {
        std::printf("  largest |error|       %9.3f degrees at every radius\n", report.maxError);
    }
    std::printf("  largest |error|/r     %9.4f degrees/cm at %.2f mm\n", report.maxWeighted,
                report.maxWeightedRadius);
}

void printTable(const ArmReport& report, const std::vector<double>& radii, double peakVelocity,
                double equalisation) {
    std::printf("\n  radius     error   error/r  groove v        h2     h2 eq\n");
    std::printf("      mm   degrees  deg/cm      mm/s         %%         %%\n");
    for (double radius : radii) {
        const Row row = rowAt(report, radius, peakVelocity, equalisation);
        std::printf("%8.2f %9.3f %9.4f %9.1f %9.3f %9.3f\n", row.radius, shown(row.error, 3),
                    shown(row.weighted, 4), row.grooveVelocity, shown(row.h2, 3),
                    shown(row.h2Equalised, 3));
    }
}

void printComparison(const std::vector<ArmReport>& reports, const std::vector<double>& radii,
                     double peakVelocity, double equalisation) {
    std::printf(
        "Alignments for a pivot-to-spindle distance of %.2f mm, %s playing area %.3f to "
        "%.2f mm\n\n",
        reports.front().geometry.alignment.pivotToSpindle,
        standardText(reports.front().geometry.area), reports.front().geometry.area.innerRadius,
        reports.front().geometry.area.outerRadius);
    std::printf("%-24s", "");
    for (const ArmReport& report : reports) {
        std::printf(" %12s", report.name.c_str());
    }
    const auto line = [&](const char* label, auto value) {
        std::printf("\n%-24s", label);
        for (const ArmReport& report : reports) {
            std::printf(" %12s", value(report).c_str());
        }
    };
    line("effective length (mm)",
         [](const ArmReport& r) { return format("%.2f", r.geometry.alignment.effectiveLength); });
    line("offset angle (degrees)",
         [](const ArmReport& r) { return format("%.2f", r.geometry.alignment.offsetDegrees); });
    line("overhang (mm)", [](const ArmReport& r) {
        return format("%.2f", overhang(r.geometry.alignment.effectiveLength,
                                       r.geometry.alignment.pivotToSpindle));
    });
    line("inner null (mm)",
         [](const ArmReport& r) { return format("%.2f", r.geometry.alignment.nulls.inner); });
    line("outer null (mm)",
         [](const ArmReport& r) { return format("%.2f", r.geometry.alignment.nulls.outer); });
    line("largest |error| (deg)", [](const ArmReport& r) { return format("%.3f", r.maxError); });
    line("  at radius (mm)", [](const ArmReport& r) { return format("%.2f", r.maxErrorRadius); });
    line("largest |error|/r", [](const ArmReport& r) { return format("%.4f", r.maxWeighted); });
    line("  (deg/cm) at (mm)",
         [](const ArmReport& r) { return format("%.2f", r.maxWeightedRadius); });
    std::printf(
        "\n\nError in degrees and predicted second harmonic in percent, plain and after "
        "the playback equalisation, by radius:\n\n");
    std::printf("%8s %8s", "radius", "groove v");
    for (const ArmReport& report : reports) {
        std::printf(" %-26s", (" " + report.name).c_str());
    }
    std::printf("\n%8s %8s", "mm", "mm/s");
    for (std::size_t i = 0; i < reports.size(); ++i) {
        std::printf(" %8s %8s %8s", "error", "h2", "h2 eq");
    }
    std::printf("\n");
    for (double radius : radii) {
        std::printf("%8.2f %8.1f", radius,
                    grooveVelocityAt(radius, reports.front().geometry.revolutionsPerMinute));
        for (const ArmReport& report : reports) {
            const Row row = rowAt(report, radius, peakVelocity, equalisation);
            std::printf(" %8.3f %8.3f %8.3f", shown(row.error, 3), shown(row.h2, 3),
                        shown(row.h2Equalised, 3));
        }
        std::printf("\n");
    }
}

// A number for JSON; null where it is not one.
nlohmann::json number(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

nlohmann::json reportJson(const ArmReport& report, const std::vector<double>& radii,
                          double peakVelocity, double equalisation) {
    const SideGeometry& g = report.geometry;
    nlohmann::json object;
    const bool pivoted = g.pivoted;
    object["effective_length_mm"] = pivoted ? number(g.alignment.effectiveLength) : nullptr;
    object["pivot_to_spindle_mm"] = pivoted ? number(g.alignment.pivotToSpindle) : nullptr;
    object["offset_deg"] = pivoted ? number(g.alignment.offsetDegrees) : nullptr;
    object["overhang_mm"] =
        pivoted ? number(overhang(g.alignment.effectiveLength, g.alignment.pivotToSpindle))
                : nullptr;
    object["nulls_mm"] = pivoted ? nlohmann::json::array({number(g.alignment.nulls.inner),
                                                          number(g.alignment.nulls.outer)})
                                 : nlohmann::json::array();
    object["inner_radius_mm"] = g.area.innerRadius;
    object["outer_radius_mm"] = g.area.outerRadius;
    object["max_error_deg"] = number(report.maxError);
    object["max_weighted_error_deg_per_cm"] = number(report.maxWeighted);
    nlohmann::json rows = nlohmann::json::array();
    for (double radius : radii) {
        const Row row = rowAt(report, radius, peakVelocity, equalisation);
        rows.push_back({{"radius_mm", row.radius},
                        {"error_deg", number(row.error)},
                        {"weighted_error_deg_per_cm", number(row.weighted)},
                        {"groove_velocity_mm_s", number(row.grooveVelocity)},
                        {"h2_percent", number(row.h2)},
                        {"h2_riaa_percent", number(row.h2Equalised)}});
    }
    object["rows"] = rows;
    return object;
}

PlotFigure armFigure(const std::vector<ArmReport>& reports, double velocityCm, double peakVelocity,
                     double equalisation) {
    PlotFigure figure;
    figure.title = reports.size() > 1 ? "Tracking error and predicted distortion by alignment"
                                      : "Tracking error and predicted distortion";
    PlotPanel errorPanel;
    errorPanel.title = "Tracking error (dots: null radii)";
    errorPanel.xLabel = "groove radius (mm)";
    errorPanel.yLabel = "tracking error (degrees)";
    PlotPanel distortionPanel;
    distortionPanel.title = "Predicted second harmonic at " + format("%g", velocityCm) +
                            " cm/s peak, " +
                            speedText(reports.front().geometry.revolutionsPerMinute) + " rpm";
    distortionPanel.xLabel = "groove radius (mm)";
    distortionPanel.yLabel = "second harmonic |h2| (%)";

    const PlayingArea& area = reports.front().geometry.area;
    const int steps = 400;
    for (std::size_t k = 0; k < reports.size(); ++k) {
        const ArmReport& report = reports[k];
        PlotSeries error;
        error.label = report.name;
        error.colour = static_cast<int>(k);
        // Löfgren A draws the same curve as Baerwald: dashed, so both stay visible.
        error.dashed = report.name == "lofgren-a" && reports.size() > 1;
        PlotSeries distortion = error;
        PlotSeries equalised = error;
        equalised.label = report.name + ", playback eq.";
        equalised.dashed = true;
        for (int i = 0; i <= steps; ++i) {
            const double radius =
                area.innerRadius + (area.outerRadius - area.innerRadius) * i / steps;
            const Row row = rowAt(report, radius, peakVelocity, equalisation);
            error.x.push_back(radius);
            error.y.push_back(row.error);
            distortion.x.push_back(radius);
            distortion.y.push_back(std::fabs(row.h2));
            equalised.x.push_back(radius);
            equalised.y.push_back(std::fabs(row.h2Equalised));
        }
        errorPanel.series.push_back(error);
        distortionPanel.series.push_back(distortion);
        if (reports.size() == 1) {
            distortionPanel.series.push_back(equalised);
        }
    }
    for (std::size_t k = 0; k < reports.size(); ++k) {
        const SideGeometry& g = reports[k].geometry;
        if (!g.pivoted) {
            continue;
        }
        PlotSeries nulls;
        nulls.colour = static_cast<int>(k);
        nulls.pointsOnly = true;
        nulls.x = {g.alignment.nulls.inner, g.alignment.nulls.outer};
        nulls.y = {0.0, 0.0};
        errorPanel.series.push_back(nulls);
        distortionPanel.series.push_back(nulls);
    }
    figure.panels = {errorPanel, distortionPanel};
    return figure;
}

int runArm(ArmOptions& options) {
    const auto usage = [](const std::string& message) {
        std::cerr << "cartrivex-cli arm: " << message << "\n";
        return kExitUsageError;
    };
    if (!std::isfinite(options.velocity) || !(options.velocity > 0.0)) {
        return usage("--velocity " + format("%g", options.velocity) +
                     ": not a positive velocity in cm/s");
    }
    // --compare with --mounting alone compares the named alignments for that distance.
    GeometryOptions& geometryOptions = options.geometry;
    if (options.compare && geometryOptions.mountingOption->count() > 0 &&
        geometryOptions.alignmentOption->count() == 0 && geometryOptions.arm.empty()) {
        geometryOptions.alignment = "baerwald";
        geometryOptions.alignmentOption->add_result("baerwald");
    }
    ArmReport first;
    std::string message;
    if (!resolveGeometry(geometryOptions, first.geometry, message)) {
        return usage(message);
    }
    first.name = first.geometry.name;

    std::vector<ArmReport> reports;
    if (options.compare) {
        if (!first.geometry.pivoted) {
            return usage(
                "--compare needs a pivot-to-spindle distance: give --alignment NAME "
                "--mounting D (or --mounting D alone) or --arm L,D,BETA");
        }
        if (first.geometry.name == "arm") {
            reports.push_back(first);
        }
        for (AlignmentKind kind : {AlignmentKind::Baerwald, AlignmentKind::LofgrenA,
                                   AlignmentKind::LofgrenB, AlignmentKind::Stevenson}) {
            ArmReport report;
            report.geometry = first.geometry;
            report.geometry.name = alignmentName(kind);
            report.geometry.alignment =
                namedAlignment(kind, first.geometry.alignment.pivotToSpindle, first.geometry.area);
            report.geometry.arm = pivotedArm(report.geometry.alignment);
            std::string reason;
            if (!armReachesArea(report.geometry.arm, first.geometry.area.innerRadius,
                                first.geometry.area.outerRadius, reason)) {
                return usage(std::string("--compare: the ") + alignmentName(kind) +
                             " arm for this distance: " + reason);
            }
            report.name = report.geometry.name;
            reports.push_back(report);
        }
    } else {
        reports.push_back(first);
    }
    for (ArmReport& report : reports) {
        findExtremes(report);
    }

    const double peakVelocity = options.velocity * 10.0;  // mm/s
    const double equalisation = playbackGainRatio(2 * kFundamentalHz, kFundamentalHz);
    const std::vector<double> radii = tableRadii(reports);

    if (!options.plot.empty()) {
        std::string reason;
        if (!writePlot(armFigure(reports, options.velocity, peakVelocity, equalisation),
                       options.plot, reason)) {
            std::cerr << "cartrivex-cli arm: cannot write the plot " << options.plot << ": "
                      << reason << "\n";
            return reason.find(".png or .svg") != std::string::npos ? kExitUsageError
                                                                    : kExitFileError;
        }
    }

    if (options.json) {
        nlohmann::json document;
        if (options.compare) {
            document["alignments"] = nlohmann::json::array();
            for (const ArmReport& report : reports) {
                nlohmann::json object = reportJson(report, radii, peakVelocity, equalisation);
                object["alignment"] = report.name;
                document["alignments"].push_back(object);
            }
        } else {
            document = reportJson(reports.front(), radii, peakVelocity, equalisation);
        }
        std::cout << document.dump(2) << "\n";
    } else {
        if (options.compare) {
            printComparison(reports, radii, peakVelocity, equalisation);
        } else {
            printGeometry(reports.front());
            printTable(reports.front(), radii, peakVelocity, equalisation);
        }
        std::printf(
            "\nh2: the predicted second harmonic V tan(error) / v of a %g cm/s peak "
            "lateral velocity V at %s rpm (groove velocity v);\nh2 eq: the same after the "
            "playback equalisation at %g Hz (x%.4f, its gain at %g Hz over that at %g "
            "Hz).\n",
            options.velocity, speedText(reports.front().geometry.revolutionsPerMinute).c_str(),
            kFundamentalHz, equalisation, 2 * kFundamentalHz, kFundamentalHz);
        if (!options.plot.empty()) {
            std::printf("Plot written to %s\n", options.plot.c_str());
        }
        std::fflush(stdout);
    }
    if (std::ferror(stdout) || !std::cout) {
        std::cerr << "cartrivex-cli arm: cannot write to the standard output\n";
        return kExitFileError;
    }
    return kExitWritten;
}

}  // namespace

void addArmCommand(CLI::App& program, CommandOutcome& outcome) {
    auto options = std::make_shared<ArmOptions>();
    CLI::App* command = program.add_subcommand(
        "arm",
        "Describe a tonearm's tracking error across the playing area: its geometry, a table by "
        "radius with the predicted second-harmonic distortion, and a plot.");
    GeometryOptionChoice choice;
    choice.side = false;  // the table covers the whole playing area
    addGeometryOptions(*command, options->geometry, choice);
    command
        ->add_option("--velocity", options->velocity,
                     "Reference peak lateral velocity in cm/s for the predicted distortion "
                     "(default 10)")
        ->type_name("CM_S");
    command->add_flag("--compare", options->compare,
                      "Show baerwald, lofgren-a, lofgren-b and stevenson for the same "
                      "pivot-to-spindle distance side by side (and the arm given with --arm)");
    command
        ->add_option("--plot", options->plot,
                     "Draw the error and the predicted distortion against radius into a PNG "
                     "or SVG file (by its ending)")
        ->type_name("FILE");
    command->add_flag("--json", options->json,
                      "Print the geometry and the table as one JSON object (with --compare: "
                      "{\"alignments\": [...]}, each object naming its \"alignment\")");
    command->footer(std::string(kTrackingErrorSignText) +
                    "\n\nExample: cartrivex-cli arm --alignment baerwald --mounting 222 "
                    "--compare --plot arm.png\n\nExit codes: 0 done, 1 a file could not be "
                    "written, 2 a usage error.");
    command->callback([options, &outcome] { outcome.exitCode = runArm(*options); });
}
