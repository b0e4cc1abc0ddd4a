#pragma once

#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "dsp/stylus_model.hpp"
#include "dsp/tip_tracing.hpp"
#include "dsp/tonearm.hpp"

// The options that choose how the tip reads the groove, shared by render and measure:
//   --model lateral|stylus   the lateral component alone (the default) or one rigid tip on
//                            both walls with the vertical tracking error
//   --vta DEG                the pickup's vertical tracking angle (default 20)
//   --cutting-angle DEG      the record's vertical modulation angle (default 20)
//   --pivot-raise MM         with an arm: the pivot raised (or lowered) from where --vta holds
//   --stylus TIP             the tip's shape: point (the default), spherical:R, elliptical:R1xR2
// Giving --vta, --cutting-angle, --pivot-raise or a --stylus other than point selects the stylus
// model.
struct StylusOptions {
    std::string model;
    double vta = 20.0;
    double cutting = 20.0;
    double pivotRaise = 0.0;
    std::string tip;

    CLI::Option* modelOption = nullptr;
    CLI::Option* vtaOption = nullptr;
    CLI::Option* cuttingOption = nullptr;
    CLI::Option* pivotRaiseOption = nullptr;
    CLI::Option* tipOption = nullptr;
};

// What the model options describe.
struct StylusChoice {
    PickupModel model = PickupModel::Lateral;
    StylusAngles angles;      // the VTA after the pivot's raise
    double pivotRaise = 0.0;  // mm, as given
    double givenVta = 20.0;   // degrees, before the raise
    StylusTip tip;            // a point unless --stylus names a shape
};

// The model's help, for the footers and the README.
extern const char* const kStylusModelText;

void addStylusOptions(CLI::App& command, StylusOptions& options);

// Whether anything beyond --model lateral was asked: the stylus model or one of its angles.
bool stylusAsked(const StylusOptions& options);

// The choice the options give. `arm` is the arm that plays, or null where there is none (a fixed
// angle): --pivot-raise needs a pivoted arm. False with a message naming the option: the caller
// reports it and exits 2.
bool resolveStylus(const StylusOptions& options, const Tonearm* arm, StylusChoice& choice,
                   std::string& message);

// The model and its angles under the report's keys: "model", and for the stylus model "vta_deg",
// "cutting_angle_deg", "stylus" (the tip, "point" by default) and, where given,
// "pivot_raise_mm" with "vta_before_raise_deg". The lateral model reads a point and says no more.
void addStylusJson(const StylusChoice& choice, nlohmann::json& parameters);
