#include "cli/stylus_options.hpp"

#include <cmath>
#include <cstdio>

const char* const kStylusModelText =
    "Models: lateral (the default) moves the lateral (mid) component alone, by its displacement "
    "y times tan(tracking error) over the groove velocity v, and passes the side untouched. "
    "stylus reads both walls where one rigid tip meets them: every high-rate sample of both "
    "components is moved by (y tan(error) - z D) / v, z the vertical displacement (the side "
    "(L - R)/2, positive up) and D = tan(VTA) - tan(cutting angle). A positive L - R lifts the "
    "tip; a lift is played late when the VTA is the steeper, so a left-only signal gets "
    "tan(error) - D and a right-only one tan(error) + D. A mono input has no side and plays as "
    "under the lateral model.";

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
}

bool stylusAsked(const StylusOptions& options) {
    return (given(options.modelOption) && options.model != "lateral") || given(options.vtaOption) ||
           given(options.cuttingOption) || given(options.pivotRaiseOption);
}

bool resolveStylus(const StylusOptions& options, const Tonearm* arm, StylusChoice& choice,
                   std::string& message) {
    choice = StylusChoice{};
    const bool angles =
        given(options.vtaOption) || given(options.cuttingOption) || given(options.pivotRaiseOption);
    if (given(options.modelOption)) {
        if (options.model != "lateral" && options.model != "stylus") {
            message = "--model " + options.model + ": the models are lateral and stylus";
            return false;
        }
        if (options.model == "lateral" && angles) {
            message =
                "--vta, --cutting-angle and --pivot-raise belong to the stylus model: leave out "
                "--model lateral, or give --model stylus";
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
    if (choice.pivotRaise != 0.0) {
        parameters["pivot_raise_mm"] = choice.pivotRaise;
        parameters["vta_before_raise_deg"] = choice.givenVta;
    }
}
