#include "cli/geometry_options.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

const char* const kTrackingErrorSignText =
    "Sign of the tracking error: seen from above, the record turning clockwise, a positive "
    "error turns the cartridge's axis, followed from the stylus back toward the arm, inward "
    "(toward the spindle) from the groove tangent. A pivoted arm's error is zero at its two null "
    "radii, negative between them and positive inside the inner and beyond the outer one. A "
    "positive lateral sample moves the groove outward, away from the spindle; with a positive "
    "error the stylus meets it early, so the sample is played early.";

namespace {

bool given(const CLI::Option* option) {
    return option != nullptr && option->count() > 0;
}

// The whole text as one finite number.
bool parseFinite(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(begin, &end);
    if (end == begin || *end != '\0' || errno == ERANGE || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

// The shortest text that reads back as the same value.
std::string valueText(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string millimetreText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f mm", value);
    return text;
}

bool refuse(std::string& message, const std::string& text) {
    message = text;
    return false;
}

bool parseArm(const std::string& text, double& length, double& distance, double& offset) {
    std::vector<double> values;
    std::string field;
    std::istringstream fields(text);
    while (std::getline(fields, field, ',')) {
        double value = 0.0;
        if (!parseFinite(field, value)) {
            return false;
        }
        values.push_back(value);
    }
    if (values.size() != 3 || text.back() == ',') {
        return false;
    }
    length = values[0];
    distance = values[1];
    offset = values[2];
    return true;
}

}  // namespace

void addGeometryOptions(CLI::App& command, GeometryOptions& options, GeometryOptionChoice choice) {
    options.choice = choice;
    options.armOption = command.add_option(
        "--arm", options.arm,
        "A pivoted arm: effective length L, pivot-to-spindle distance D (mm) and offset angle "
        "BETA (degrees), e.g. 239.3,222,22.99");
    options.armOption->type_name("L,D,BETA");
    options.alignmentOption = command.add_option(
        "--alignment", options.alignment,
        "A named alignment for the arm mounted at --mounting: baerwald, lofgren-a (the same "
        "arm), lofgren-b or stevenson");
    options.alignmentOption->type_name("NAME");
    options.mountingOption = command.add_option(
        "--mounting", options.mounting, "The pivot-to-spindle distance (mm) for --alignment");
    options.mountingOption->type_name("D");
    options.standardOption = command.add_option(
        "--standard", options.standard,
        "The groove-radius standard that sets the playing area: iec (60.325 to 146.05 mm, the "
        "default) or din (57.5 to 146.05 mm)");
    options.standardOption->type_name("iec|din");
    options.linearOption =
        command.add_flag("--linear", options.linear, "A tangential tracker: no error anywhere");
    if (choice.angle) {
        options.angleOption = command.add_option(
            "--angle", options.angle, "A fixed tracking error (degrees) at every radius");
        options.angleOption->type_name("DEG");
    }
    if (choice.side) {
        options.radiusOption =
            command.add_option("--radius", options.radius, "A constant groove radius (mm)");
        options.radiusOption->type_name("R");
        options.fromOption = command.add_option(
            "--from", options.from,
            "The groove radius (mm) at the first sample; with --to the radius moves linearly in "
            "time to the last sample's");
        options.fromOption->type_name("R1");
        options.toOption =
            command.add_option("--to", options.to, "The groove radius (mm) at the last sample");
        options.toOption->type_name("R2");
    }
    if (choice.rpm) {
        options.rpmOption = command.add_option(
            "--rpm", options.rpm,
            "Turntable speed: 33 (exactly 100/3), 45, 78 (78.26) or any other positive number");
        options.rpmOption->type_name("RPM");
    }
}

bool geometryGiven(const GeometryOptions& options) {
    return given(options.armOption) || given(options.alignmentOption) ||
           given(options.mountingOption) || given(options.linearOption) ||
           given(options.angleOption);
}

bool parseRevolutionsPerMinute(const std::string& text, double& revolutionsPerMinute) {
    double value = 0.0;
    if (!parseFinite(text, value) || !(value > 0.0)) {
        return false;
    }
    revolutionsPerMinute = revolutionsPerMinuteFor(value);
    return true;
}

bool parseAlignmentName(const std::string& text, AlignmentKind& kind) {
    for (AlignmentKind candidate : {AlignmentKind::Baerwald, AlignmentKind::LofgrenA,
                                    AlignmentKind::LofgrenB, AlignmentKind::Stevenson}) {
        if (text == alignmentName(candidate)) {
            kind = candidate;
            return true;
        }
    }
    return false;
}

const SideWords kGeometrySideWords = {"no groove radius: give --radius R or --from R1 --to R2",
                                      ": not a positive radius"};

bool resolveSide(const SideOptions& side, const SideWords& words, bool required,
                 SideGeometry& geometry, std::string& message) {
    if (given(side.radiusOption) && (given(side.fromOption) || given(side.toOption))) {
        return refuse(message, "--radius and --from/--to exclude each other");
    }
    if (given(side.fromOption) != given(side.toOption)) {
        return refuse(message, given(side.fromOption) ? "--from needs --to" : "--to needs --from");
    }
    if (given(side.radiusOption)) {
        geometry.sideGiven = true;
        geometry.fromRadius = side.radius;
        geometry.toRadius = side.radius;
    } else if (given(side.fromOption)) {
        for (const auto& [name, value] :
             {std::pair{"--from", side.from}, std::pair{"--to", side.to}}) {
            if (!std::isfinite(value) || !(value > 0.0)) {
                return refuse(message,
                              std::string(name) + " " + valueText(value) + words.notARadius);
            }
        }
        geometry.sideGiven = true;
        geometry.fromRadius = side.from;
        geometry.toRadius = side.to;
    } else if (required) {
        return refuse(message, words.noRadius);
    }
    return true;
}

namespace {

// The alignment asked for: --alignment's, or the one --compare takes for --mounting alone.
struct AlignmentAsked {
    bool given = false;
    std::string name;
};

// One geometry, and --mounting only with --alignment.
bool checkOneGeometry(const GeometryOptions& options, const AlignmentAsked& alignment,
                      std::string& message) {
    const int geometries = (given(options.armOption) ? 1 : 0) + (alignment.given ? 1 : 0) +
                           (given(options.linearOption) ? 1 : 0) +
                           (given(options.angleOption) ? 1 : 0);
    if (given(options.mountingOption) && !alignment.given) {
        return refuse(message, "--mounting " + valueText(options.mounting) +
                                   ": a pivot-to-spindle distance needs --alignment");
    }
    if (geometries == 0) {
        return refuse(message,
                      "no geometry: give --arm L,D,BETA, --alignment NAME --mounting D, "
                      "--linear or --angle DEG");
    }
    if (geometries > 1) {
        return refuse(message,
                      "give one geometry: --arm, --alignment, --linear and --angle exclude each "
                      "other");
    }
    return true;
}

// The playing area of --standard, the speed of --rpm and the side.
bool resolveAreaSpeedAndSide(const GeometryOptions& options, SideGeometry& geometry,
                             std::string& message) {
    if (options.standard == "iec") {
        geometry.area = standardPlayingArea(GrooveStandard::Iec);
    } else if (options.standard == "din") {
        geometry.area = standardPlayingArea(GrooveStandard::Din);
    } else {
        return refuse(message, "--standard " + options.standard + ": not iec or din");
    }
    if (!parseRevolutionsPerMinute(options.rpm, geometry.revolutionsPerMinute)) {
        return refuse(message, "--rpm " + options.rpm + ": not a positive number");
    }
    const SideOptions side{options.radiusOption, options.radius,   options.fromOption,
                           options.from,         options.toOption, options.to};
    const bool required = options.choice.requireSide && options.choice.side;
    if (!resolveSide(side, kGeometrySideWords, required, geometry, message)) {
        return false;
    }
    if (given(options.radiusOption) &&
        (!std::isfinite(options.radius) || !(options.radius > 0.0))) {
        return refuse(message, "--radius " + valueText(options.radius) + ": not a positive radius");
    }
    return true;
}

// --arm L,D,BETA as given; `option` is how messages name it.
bool resolveGivenArm(const GeometryOptions& options, SideGeometry& geometry, std::string& option,
                     std::string& message) {
    option = "--arm " + options.arm;
    double length = 0.0;
    double distance = 0.0;
    double offset = 0.0;
    if (!parseArm(options.arm, length, distance, offset)) {
        return refuse(message, option +
                                   ": not three numbers L,D,BETA (effective length and "
                                   "pivot-to-spindle distance in mm, offset in degrees)");
    }
    geometry.name = "arm";
    geometry.alignment.effectiveLength = length;
    geometry.alignment.pivotToSpindle = distance;
    geometry.alignment.offsetDegrees = offset;
    geometry.alignment.area = geometry.area;
    return true;
}

// --alignment NAME --mounting D.
bool resolveNamedAlignment(const GeometryOptions& options, const AlignmentAsked& alignment,
                           SideGeometry& geometry, std::string& option, std::string& message) {
    AlignmentKind kind = AlignmentKind::Baerwald;
    if (!parseAlignmentName(alignment.name, kind)) {
        return refuse(message, "--alignment " + alignment.name +
                                   ": not baerwald, lofgren-a, lofgren-b or stevenson");
    }
    if (!given(options.mountingOption)) {
        return refuse(message, "--alignment " + alignment.name +
                                   " needs --mounting D, the pivot-to-spindle distance");
    }
    if (!std::isfinite(options.mounting) || !(options.mounting > 0.0)) {
        return refuse(message,
                      "--mounting " + valueText(options.mounting) + ": not a positive distance");
    }
    option = "--alignment " + alignment.name + " --mounting " + valueText(options.mounting);
    geometry.name = alignmentName(kind);
    geometry.alignment = namedAlignment(kind, options.mounting, geometry.area);
    if (!std::isfinite(geometry.alignment.offsetDegrees)) {
        // sin beta = (n1 + n2) / 2L exceeds 1: L = sqrt(d^2 + n1 n2) is too short.
        return refuse(message, option +
                                   ": the distance is too short for an arm with null "
                                   "radii " +
                                   millimetreText(geometry.alignment.nulls.inner) + " and " +
                                   millimetreText(geometry.alignment.nulls.outer));
    }
    return true;
}

// A pivoted arm must play the whole playing area and every radius of the side, and its nulls
// must lie within the area.
bool checkPivotedArm(const GeometryOptions& options, const std::string& option,
                     SideGeometry& geometry, std::string& message) {
    double inner = geometry.area.innerRadius;
    double outer = geometry.area.outerRadius;
    if (geometry.sideGiven) {
        inner = std::min({inner, geometry.fromRadius, geometry.toRadius});
        outer = std::max({outer, geometry.fromRadius, geometry.toRadius});
    }
    std::string reason;
    if (!armReachesArea(geometry.arm, inner, outer, reason)) {
        return refuse(message, option + ": " + reason);
    }
    if (given(options.armOption)) {
        if (!armNulls(geometry.alignment.effectiveLength, geometry.alignment.pivotToSpindle,
                      geometry.alignment.offsetDegrees, geometry.alignment.nulls)) {
            return refuse(message, option +
                                       ": its tracking error is nowhere zero (no null radius); "
                                       "check the overhang and the offset angle");
        }
    }
    if (!nullsWithinArea(geometry.alignment.nulls, geometry.area, reason)) {
        return refuse(message, option + ": " + reason);
    }
    return true;
}

bool resolveAsked(const GeometryOptions& options, const AlignmentAsked& alignment,
                  SideGeometry& geometry, std::string& message) {
    geometry = SideGeometry{};
    if (!checkOneGeometry(options, alignment, message) ||
        !resolveAreaSpeedAndSide(options, geometry, message)) {
        return false;
    }
    if (given(options.linearOption)) {
        geometry.arm.kind = Tonearm::Kind::Tangential;
        geometry.name = "linear";
        return true;
    }
    if (given(options.angleOption)) {
        if (!std::isfinite(options.angle) || !(std::fabs(options.angle) < 90.0)) {
            return refuse(message, "--angle " + valueText(options.angle) +
                                       ": not an angle between -90 and 90 degrees");
        }
        geometry.arm.kind = Tonearm::Kind::FixedAngle;
        geometry.arm.fixedAngleDegrees = options.angle;
        geometry.name = "angle";
        return true;
    }
    std::string option;
    const bool described =
        given(options.armOption)
            ? resolveGivenArm(options, geometry, option, message)
            : resolveNamedAlignment(options, alignment, geometry, option, message);
    if (!described) {
        return false;
    }
    geometry.arm = pivotedArm(geometry.alignment);
    geometry.pivoted = true;
    return checkPivotedArm(options, option, geometry, message);
}

}  // namespace

bool resolveGeometry(const GeometryOptions& options, SideGeometry& geometry, std::string& message) {
    return resolveAsked(options, {given(options.alignmentOption), options.alignment}, geometry,
                        message);
}

bool resolveGeometries(const GeometryOptions& options, bool compare,
                       std::vector<SideGeometry>& geometries, std::string& message) {
    AlignmentAsked alignment{given(options.alignmentOption), options.alignment};
    if (compare && given(options.mountingOption) && !alignment.given && options.arm.empty()) {
        alignment = {true, "baerwald"};
    }
    SideGeometry first;
    if (!resolveAsked(options, alignment, first, message)) {
        return false;
    }
    geometries.clear();
    if (!compare) {
        geometries.push_back(first);
        return true;
    }
    if (!first.pivoted) {
        return refuse(message,
                      "--compare needs a pivot-to-spindle distance: give --alignment NAME "
                      "--mounting D (or --mounting D alone) or --arm L,D,BETA");
    }
    if (first.name == "arm") {
        geometries.push_back(first);
    }
    for (AlignmentKind kind : {AlignmentKind::Baerwald, AlignmentKind::LofgrenA,
                               AlignmentKind::LofgrenB, AlignmentKind::Stevenson}) {
        SideGeometry named = first;
        named.name = alignmentName(kind);
        named.alignment = namedAlignment(kind, first.alignment.pivotToSpindle, first.area);
        named.arm = pivotedArm(named.alignment);
        std::string reason;
        if (!armReachesArea(named.arm, first.area.innerRadius, first.area.outerRadius, reason)) {
            return refuse(message, std::string("--compare: the ") + alignmentName(kind) +
                                       " arm for this distance: " + reason);
        }
        geometries.push_back(named);
    }
    return true;
}
