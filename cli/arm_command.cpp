#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/arm_table.hpp"
#include "cli/commands.hpp"
#include "cli/geometry_options.hpp"
#include "cli/plot_file.hpp"
#include "dsp/tonearm.hpp"

namespace {

struct ArmOptions {
    GeometryOptions geometry;
    double velocity = 10.0;  // cm/s, peak lateral
    bool compare = false;
    std::string plot;
    bool json = false;
};

// One arm over the playing area.
struct ArmReport {
    SideGeometry geometry;
    ArmExtremes extremes;
};

// What the tables and the plot of a run share.
struct ArmSurvey {
    std::vector<ArmReport> reports;
    std::vector<double> radii;
    double velocityCm = 0.0;    // the reference peak lateral velocity as given
    double peakVelocity = 0.0;  // mm/s
    double equalisation = 0.0;  // the playback equalisation's gain ratio for h2
};

ArmRow rowAt(const ArmSurvey& survey, const ArmReport& report, double radius) {
    return armRowAt(report.geometry.arm, report.geometry.revolutionsPerMinute, radius,
                    survey.peakVelocity, survey.equalisation);
}

ArmSurvey surveyOf(const std::vector<SideGeometry>& geometries, double velocityCm) {
    ArmSurvey survey;
    std::vector<NullRadii> nulls;
    for (const SideGeometry& geometry : geometries) {
        survey.reports.push_back({geometry, findExtremes(geometry.arm, geometry.area)});
        if (geometry.pivoted) {
            nulls.push_back(geometry.alignment.nulls);
        }
    }
    survey.radii = tableRadii(geometries.front().area, nulls);
    survey.velocityCm = velocityCm;
    survey.peakVelocity = velocityCm * 10.0;
    survey.equalisation =
        playbackGainRatio(2 * kEqualisationFundamentalHz, kEqualisationFundamentalHz);
    return survey;
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

std::string describe(const SideGeometry& g) {
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
    const ArmExtremes& e = report.extremes;
    std::printf("Geometry: %s\n", describe(g).c_str());
    if (g.pivoted) {
        const ArmAlignment& a = g.alignment;
        std::printf("  effective length      %9.2f mm\n", a.effectiveLength);
        std::printf("  pivot to spindle      %9.2f mm\n", a.pivotToSpindle);
        std::printf("  offset angle          %9.2f degrees\n", a.offsetDegrees);
        std::printf("  overhang              %9.2f mm\n",
                    overhang(a.effectiveLength, a.pivotToSpindle));
        std::printf("  null radii            %9.2f and %.2f mm\n", a.nulls.inner, a.nulls.outer);
        std::printf("  VTA per mm at pivot   %9.3f degrees (raising the pivot steepens it)\n",
                    verticalAngleChangePerMillimetre(a.effectiveLength));
    }
    std::printf("  playing area          %9.3f to %.2f mm (%s)\n", g.area.innerRadius,
                g.area.outerRadius, standardText(g.area));
    if (g.pivoted) {
        std::printf("  largest |error|       %9.3f degrees at %.2f mm\n", e.maxError,
                    e.maxErrorRadius);
    } else {
        std::printf("  largest |error|       %9.3f degrees at every radius\n", e.maxError);
    }
    std::printf("  largest |error|/r     %9.4f degrees/cm at %.2f mm\n", e.maxWeighted,
                e.maxWeightedRadius);
}

void printTable(const ArmSurvey& survey, const ArmReport& report) {
    std::printf("\n  radius     error   error/r  groove v        h2     h2 eq\n");
    std::printf("      mm   degrees  deg/cm      mm/s         %%         %%\n");
    for (double radius : survey.radii) {
        const ArmRow row = rowAt(survey, report, radius);
        std::printf("%8.2f %9.3f %9.4f %9.1f %9.3f %9.3f\n", row.radius, shown(row.error, 3),
                    shown(row.weighted, 4), row.grooveVelocity, shown(row.h2, 3),
                    shown(row.h2Equalised, 3));
    }
}

// The arms' geometries and extremes side by side, a column each.
void printComparedGeometries(const std::vector<ArmReport>& reports) {
    const SideGeometry& first = reports.front().geometry;
    std::printf(
        "Alignments for a pivot-to-spindle distance of %.2f mm, %s playing area %.3f to "
        "%.2f mm\n\n",
        first.alignment.pivotToSpindle, standardText(first.area), first.area.innerRadius,
        first.area.outerRadius);
    std::printf("%-24s", "");
    for (const ArmReport& report : reports) {
        std::printf(" %12s", report.geometry.name.c_str());
    }
    const auto line = [&](const char* label, auto value) {
        std::printf("\n%-24s", label);
        for (const ArmReport& report : reports) {
            std::printf(" %12s", value(report.geometry.alignment, report.extremes).c_str());
        }
    };
    using A = const ArmAlignment&;
    using E = const ArmExtremes&;
    line("effective length (mm)", [](A a, E) { return format("%.2f", a.effectiveLength); });
    line("offset angle (degrees)", [](A a, E) { return format("%.2f", a.offsetDegrees); });
    line("overhang (mm)",
         [](A a, E) { return format("%.2f", overhang(a.effectiveLength, a.pivotToSpindle)); });
    line("inner null (mm)", [](A a, E) { return format("%.2f", a.nulls.inner); });
    line("outer null (mm)", [](A a, E) { return format("%.2f", a.nulls.outer); });
    line("VTA per mm pivot (deg)", [](A a, E) {
        return format("%.3f", verticalAngleChangePerMillimetre(a.effectiveLength));
    });
    line("largest |error| (deg)", [](A, E e) { return format("%.3f", e.maxError); });
    line("  at radius (mm)", [](A, E e) { return format("%.2f", e.maxErrorRadius); });
    line("largest |error|/r", [](A, E e) { return format("%.4f", e.maxWeighted); });
    line("  (deg/cm) at (mm)", [](A, E e) { return format("%.2f", e.maxWeightedRadius); });
}

// The error and the predicted harmonic of every arm by radius.
void printComparedRows(const ArmSurvey& survey) {
    const std::vector<ArmReport>& reports = survey.reports;
    std::printf(
        "\n\nError in degrees and predicted second harmonic in percent, plain and after "
        "the playback equalisation, by radius:\n\n");
    std::printf("%8s %8s", "radius", "groove v");
    for (const ArmReport& report : reports) {
        std::printf(" %-26s", (" " + report.geometry.name).c_str());
    }
    std::printf("\n%8s %8s", "mm", "mm/s");
    for (std::size_t i = 0; i < reports.size(); ++i) {
        std::printf(" %8s %8s %8s", "error", "h2", "h2 eq");
    }
    std::printf("\n");
    for (double radius : survey.radii) {
        std::printf("%8.2f %8.1f", radius,
                    grooveVelocityAt(radius, reports.front().geometry.revolutionsPerMinute));
        for (const ArmReport& report : reports) {
            const ArmRow row = rowAt(survey, report, radius);
            std::printf(" %8.3f %8.3f %8.3f", shown(row.error, 3), shown(row.h2, 3),
                        shown(row.h2Equalised, 3));
        }
        std::printf("\n");
    }
}

void printText(const ArmOptions& options, const ArmSurvey& survey) {
    if (options.compare) {
        printComparedGeometries(survey.reports);
        printComparedRows(survey);
    } else {
        printGeometry(survey.reports.front());
        printTable(survey, survey.reports.front());
    }
    std::printf(
        "\nh2: the predicted second harmonic V tan(error) / v of a %g cm/s peak "
        "lateral velocity V at %s rpm (groove velocity v);\nh2 eq: the same after the "
        "playback equalisation at %g Hz (x%.4f, its gain at %g Hz over that at %g "
        "Hz).\n",
        options.velocity, speedText(survey.reports.front().geometry.revolutionsPerMinute).c_str(),
        kEqualisationFundamentalHz, survey.equalisation, 2 * kEqualisationFundamentalHz,
        kEqualisationFundamentalHz);
    if (!options.plot.empty()) {
        std::printf("Plot written to %s\n", options.plot.c_str());
    }
}

// A number for JSON; null where it is not one.
nlohmann::json number(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

nlohmann::json reportJson(const ArmSurvey& survey, const ArmReport& report) {
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
    object["vta_deg_per_mm_pivot"] =
        pivoted ? number(verticalAngleChangePerMillimetre(g.alignment.effectiveLength)) : nullptr;
    object["inner_radius_mm"] = g.area.innerRadius;
    object["outer_radius_mm"] = g.area.outerRadius;
    object["max_error_deg"] = number(report.extremes.maxError);
    object["max_weighted_error_deg_per_cm"] = number(report.extremes.maxWeighted);
    nlohmann::json rows = nlohmann::json::array();
    for (double radius : survey.radii) {
        const ArmRow row = rowAt(survey, report, radius);
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

nlohmann::json surveyJson(const ArmOptions& options, const ArmSurvey& survey) {
    if (!options.compare) {
        return reportJson(survey, survey.reports.front());
    }
    nlohmann::json document;
    document["alignments"] = nlohmann::json::array();
    for (const ArmReport& report : survey.reports) {
        nlohmann::json object = reportJson(survey, report);
        object["alignment"] = report.geometry.name;
        document["alignments"].push_back(object);
    }
    return document;
}

// The error, the predicted harmonic and, for a single arm, the equalised harmonic of report `k`
// across the playing area.
void addCurves(const ArmSurvey& survey, std::size_t k, PlotPanel& errorPanel,
               PlotPanel& distortionPanel) {
    const std::vector<ArmReport>& reports = survey.reports;
    const ArmReport& report = reports[k];
    PlotSeries error;
    error.label = report.geometry.name;
    error.colour = static_cast<int>(k);
    // Löfgren A draws the same curve as Baerwald: dashed, so both stay visible.
    error.dashed = report.geometry.name == "lofgren-a" && reports.size() > 1;
    PlotSeries distortion = error;
    PlotSeries equalised = error;
    equalised.label = report.geometry.name + ", playback eq.";
    equalised.dashed = true;
    const PlayingArea& area = reports.front().geometry.area;
    const int steps = 400;
    for (int i = 0; i <= steps; ++i) {
        const double radius = area.innerRadius + (area.outerRadius - area.innerRadius) * i / steps;
        const ArmRow row = rowAt(survey, report, radius);
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

PlotFigure armFigure(const ArmSurvey& survey) {
    const std::vector<ArmReport>& reports = survey.reports;
    PlotFigure figure;
    figure.title = reports.size() > 1 ? "Tracking error and predicted distortion by alignment"
                                      : "Tracking error and predicted distortion";
    PlotPanel errorPanel;
    errorPanel.title = "Tracking error (dots: null radii)";
    errorPanel.xLabel = "groove radius (mm)";
    errorPanel.yLabel = "tracking error (degrees)";
    PlotPanel distortionPanel;
    distortionPanel.title = "Predicted second harmonic at " + format("%g", survey.velocityCm) +
                            " cm/s peak, " +
                            speedText(reports.front().geometry.revolutionsPerMinute) + " rpm";
    distortionPanel.xLabel = "groove radius (mm)";
    distortionPanel.yLabel = "second harmonic |h2| (%)";
    for (std::size_t k = 0; k < reports.size(); ++k) {
        addCurves(survey, k, errorPanel, distortionPanel);
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

int runArm(const ArmOptions& options) {
    if (!std::isfinite(options.velocity) || !(options.velocity > 0.0)) {
        usageError("--velocity " + format("%g", options.velocity) +
                   ": not a positive velocity in cm/s");
    }
    std::vector<SideGeometry> geometries;
    std::string message;
    if (!resolveGeometries(options.geometry, options.compare, geometries, message)) {
        usageError(message);
    }
    const ArmSurvey survey = surveyOf(geometries, options.velocity);
    return finishReport(
        options.plot, [&] { return armFigure(survey); }, options.json,
        [&] { return surveyJson(options, survey); }, [&] { printText(options, survey); });
}

}  // namespace

Subcommand addArmCommand(CLI::App& program) {
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
    return {command, [options] { return runArm(*options); }};
}
