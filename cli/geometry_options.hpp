#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "dsp/tonearm.hpp"

// The options that say how the stylus meets the groove and where on the side it plays, shared
// by the subcommands that simulate or describe an arm:
//   --arm L,D,BETA                  a pivoted arm: effective length, pivot-to-spindle (mm), offset
//   --alignment NAME --mounting D   a named alignment for that pivot-to-spindle distance
//   --standard iec|din              the groove-radius standard (playing area), default iec
//   --linear                        a tangential tracker, no error anywhere
//   --angle DEG                     a fixed tracking error at every radius
//   --radius R | --from R1 --to R2  the groove radius, constant or moving across the side
//   --rpm 33|45|78|N                the turntable speed

// Which of the shared options a subcommand takes; a subcommand that already has one of its own
// leaves it out here.
struct GeometryOptionChoice {
    bool angle = true;         // --angle
    bool side = true;          // --radius, --from, --to
    bool rpm = true;           // --rpm
    bool requireSide = false;  // refuse a command line that gives no radius
};

// The option values as typed, and the parsed options, to see which were given.
struct GeometryOptions {
    GeometryOptionChoice choice;
    std::string arm;
    std::string alignment;
    double mounting = 0.0;
    std::string standard = "iec";
    bool linear = false;
    double angle = 0.0;
    double radius = 0.0;
    double from = 0.0;
    double to = 0.0;
    std::string rpm = "33";

    CLI::Option* armOption = nullptr;
    CLI::Option* alignmentOption = nullptr;
    CLI::Option* mountingOption = nullptr;
    CLI::Option* standardOption = nullptr;
    CLI::Option* linearOption = nullptr;
    CLI::Option* angleOption = nullptr;
    CLI::Option* radiusOption = nullptr;
    CLI::Option* fromOption = nullptr;
    CLI::Option* toOption = nullptr;
    CLI::Option* rpmOption = nullptr;
};

// The sign convention, for a subcommand's --help (footer) and the README.
extern const char* const kTrackingErrorSignText;

// Adds the options to `command`; `options` must outlive the parse.
void addGeometryOptions(CLI::App& command, GeometryOptions& options,
                        GeometryOptionChoice choice = {});

// What the options describe.
struct SideGeometry {
    Tonearm arm;              // what trackingErrorDegrees takes
    std::string name;         // "baerwald", "lofgren-a", "lofgren-b", "stevenson", "arm",
                              // "linear" or "angle"
    bool pivoted = false;     // alignment holds the arm's L, d, beta, nulls and area
    ArmAlignment alignment;   // pivoted arms only
    PlayingArea area;         // the standard's playing area
    bool sideGiven = false;   // --radius or --from/--to was given
    double fromRadius = 0.0;  // mm, the radius at the first sample
    double toRadius = 0.0;    // mm, the radius at the last sample (equal for a constant one)
    double revolutionsPerMinute = 100.0 / 3;
};

// True when any geometry option (--arm, --alignment, --mounting, --linear, --angle) was given.
bool geometryGiven(const GeometryOptions& options);

// Turns the parsed options into a geometry. False with a message that names the option and the
// value when they describe nothing or something impossible: the caller reports it and exits 2.
bool resolveGeometry(const GeometryOptions& options, SideGeometry& geometry, std::string& message);

// The geometries a subcommand shows: the one the options give or, with `compare`, the four named
// alignments for its pivot-to-spindle distance after the arm given with --arm. With `compare`,
// --mounting alone stands for the named alignments of that distance. False with a message, as
// resolveGeometry.
bool resolveGeometries(const GeometryOptions& options, bool compare,
                       std::vector<SideGeometry>& geometries, std::string& message);

// The side as a subcommand's options give it: a constant --radius, or --from and --to. The
// options are null where the subcommand has none.
struct SideOptions {
    const CLI::Option* radiusOption = nullptr;
    double radius = 0.0;
    const CLI::Option* fromOption = nullptr;
    double from = 0.0;
    const CLI::Option* toOption = nullptr;
    double to = 0.0;
};

// How a subcommand's refusals of the side are worded, in the names its --help gives the values.
struct SideWords {
    const char* noRadius;    // neither --radius nor --from and --to
    const char* notARadius;  // after "--from VALUE: "
};
// The wording of the shared geometry options: "no groove radius: give --radius R or ...".
extern const SideWords kGeometrySideWords;

// Sets the side of `geometry` (sideGiven, fromRadius, toRadius) from the options: --radius and
// --from/--to exclude each other, --from and --to come together and must be positive radii, and
// a `required` side must be given. A constant radius's value is the caller's to check. False
// with a message.
bool resolveSide(const SideOptions& side, const SideWords& words, bool required,
                 SideGeometry& geometry, std::string& message);

// The turntable speed from --rpm's text: 33 is exactly 100/3, 45 is 45, 78 is 78.26, any other
// positive number as given. False for anything else.
bool parseRevolutionsPerMinute(const std::string& text, double& revolutionsPerMinute);

// The alignment named by --alignment's text. False for an unknown name.
bool parseAlignmentName(const std::string& text, AlignmentKind& kind);
