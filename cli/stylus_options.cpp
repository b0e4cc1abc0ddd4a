#include "cli/stylus_options.hpp"

#include <cmath>
#include <cstdio>
#include <optional>

const char* const kStylusModelText =
    "Models: lateral (the default) moves the lateral (mid) component alone, by its displacement "
    "y times tan(tracking error) over the groove velocity v, and passes the side untouched. "
    "stylus reads both walls where one rigid tip meets them: every high-rate sample of both "
    "components is moved by (y tan(error) - z D) / v, z the vertical displacement (the side "
    "(L - R)/2, positive up) and D = tan(VTA) - tan(cutting angle). A positive L - R lifts the "
    "tip; a lift is played late when the VTA is the steeper, so a left-only signal gets "
    "tan(error) - D and a right-only one tan(error) + D. A mono input has no side and plays as "
    "under the lateral model, unless the tip has a shape. --stylus gives the tip a shape: a "
    "spherical tip of radius R, or an "
    "elliptical (or line-contact) one traced with its scanning radius R1 (R2, across the groove, "
    "is reported only), rests on each 45-degree wall with its curved face, so its centre follows "
    "the envelope of the tip rolling along the wall, not the wall: tracing distortion, and the "
    "pinch effect that puts the even harmonics of a lateral tone into the vertical. Both walls "
    "are traced first, then the tip is read where the arm puts it. Where the tip cannot follow "
    "(a curvature ratio above 1) it skates over the crests. A mono input is traced as a lateral "
    "groove with no vertical modulation, and its mid plays.";

namespace {

bool given(const CLI::Option* option) {
    return option != nullptr && option->count() > 0;
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// An angle from 0 up to below 90 degrees.
bool angleInRange(double degrees) {
    return std::isfinite(degrees) && degrees >= 0.0 && degrees < 90.0;
}

}  // namespace

void addStylusOptions(CLI::App& command, StylusOptions& options) {
    options.modelOption =
        command
            .add_option("--model", options.model,
                        "lateral (the default: the lateral component alone) or stylus (one rigid "
                        "tip reading both walls, with the vertical tracking error)")
            ->type_name("lateral|stylus");
    options.vtaOption =
        command
            .add_option("--vta", options.vta,
                        "The pickup's vertical tracking angle, degrees from the vertical, 0 to "
                        "below 90 (default 20); selects the stylus model")
            ->type_name("DEG");
    options.cuttingOption =
        command
            .add_option("--cutting-angle", options.cutting,
                        "The record's vertical modulation (cutting) angle, 0 to below 90 (default "
                        "20, IEC 60098; about 15 on many records cut before the mid-1960s); "
                        "selects the stylus model")
            ->type_name("DEG");
    options.pivotRaiseOption =
        command
            .add_option("--pivot-raise", options.pivotRaise,
                        "With an arm: the pivot raised by MM (negative: lowered) from the height "
                        "where the VTA is --vta; the VTA grows by atan(MM / effective length); "
                        "selects the stylus model")
            ->type_name("MM");
    options.tipOption =
        command
            .add_option("--stylus", options.tip,
                        "The tip's shape: point (the default), spherical:R or elliptical:R1xR2, "
                        "radii in micrometres (e.g. spherical:17.8 conical, elliptical:7x18, "
                        "elliptical:3x18 line contact); other than point selects the stylus model")
            ->type_name("TIP");
}

namespace {

// Whether --stylus names a tip other than a point (whether or not it reads).
bool shapedTip(const StylusOptions& options) {
    return given(options.tipOption) && options.tip != "point";
}

}  // namespace

bool stylusAsked(const StylusOptions& options) {
    return (given(options.modelOption) && options.model != "lateral") || given(options.vtaOption) ||
           given(options.cuttingOption) || given(options.pivotRaiseOption) || shapedTip(options);
}

bool resolveStylus(const StylusOptions& options, const Tonearm* arm, StylusChoice& choice,
                   std::string& message) {
    choice = StylusChoice{};
    if (given(options.tipOption)) {
        const std::optional<StylusTip> tip = parseStylusTip(options.tip, message);
        if (!tip) {
            message = "--stylus " + message;
            return false;
        }
        choice.tip = *tip;
    }
    const bool angles = given(options.vtaOption) || given(options.cuttingOption) ||
                        given(options.pivotRaiseOption) || !choice.tip.point();
    if (given(options.modelOption)) {
        if (options.model != "lateral" && options.model != "stylus") {
            message = "--model " + options.model + ": the models are lateral and stylus";
            return false;
        }
        if (options.model == "lateral" && angles) {
            message = !choice.tip.point()
                          ? "--stylus " + options.tip +
                                ": the tip's shape belongs to the stylus model (the lateral one "
                                "reads a point): leave out --model lateral, or give --model stylus"
                          : "--vta, --cutting-angle and --pivot-raise belong to the stylus model: "
                            "leave out --model lateral, or give --model stylus";
            return false;
        }
    }
    if (options.model != "stylus" && !angles) {
        return true;
    }
    choice.model = PickupModel::Stylus;
    if (!angleInRange(options.vta)) {
        message = "--vta " + number(options.vta) + ": the angle must be from 0 up to below 90";
        return false;
    }
    if (!angleInRange(options.cutting)) {
        message = "--cutting-angle " + number(options.cutting) +
                  ": the angle must be from 0 up to below 90";
        return false;
    }
    choice.givenVta = options.vta;
    choice.angles = {options.vta, options.cutting};
    if (given(options.pivotRaiseOption)) {
        if (arm == nullptr || arm->kind != Tonearm::Kind::Pivoted) {
            message = "--pivot-raise tilts a pivoted arm: give it with --arm or --alignment";
            return false;
        }
        if (!std::isfinite(options.pivotRaise)) {
            message = "--pivot-raise " + number(options.pivotRaise) + ": not a finite height";
            return false;
        }
        const double raised =
            raisedVerticalTrackingDegrees(options.vta, options.pivotRaise, arm->effectiveLength);
        if (!angleInRange(raised)) {
            message = "--pivot-raise " + number(options.pivotRaise) + ": the VTA would be " +
                      number(raised) + " degrees; it must stay from 0 up to below 90";
            return false;
        }
        choice.pivotRaise = options.pivotRaise;
        choice.angles.verticalTrackingDegrees = raised;
    }
    return true;
}

void addStylusJson(const StylusChoice& choice, nlohmann::json& parameters) {
    if (choice.model == PickupModel::Lateral) {
        parameters["model"] = "lateral";
        return;
    }
    parameters["model"] = "stylus";
    parameters["vta_deg"] = choice.angles.verticalTrackingDegrees;
    parameters["cutting_angle_deg"] = choice.angles.cuttingDegrees;
    parameters["stylus"] = stylusTipText(choice.tip);
    if (choice.pivotRaise != 0.0) {
        parameters["pivot_raise_mm"] = choice.pivotRaise;
        parameters["vta_before_raise_deg"] = choice.givenVta;
    }
}
