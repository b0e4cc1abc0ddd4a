#pragma once

#include <string>
#include <vector>

// Line plots drawn with cairo, written as PNG or SVG by the file name's ending.

struct PlotSeries {
    std::string label;      // shown in the legend; empty: not listed
    std::vector<double> x;  // the points, in drawing order
    std::vector<double> y;
    int colour = 0;           // index into the plot's palette; same index, same colour
    bool dashed = false;      // predictions and references are dashed
    bool pointsOnly = false;  // markers without a line (e.g. the nulls)
};

struct PlotPanel {
    std::string title;
    std::string xLabel;  // with its unit, e.g. "groove radius (mm)"
    std::string yLabel;
    std::vector<PlotSeries> series;
    bool logY = false;
};

struct PlotFigure {
    std::string title;
    std::vector<PlotPanel> panels;  // stacked top to bottom, sharing the width
    int width = 1200;
    int height = 800;
};

// Why a plot was not written.
enum class PlotFailure {
    None,
    UnknownEnding,   // the file name ends in neither .png nor .svg
    ImpossibleSize,  // the figure is under 200 x 150 or over 20000 x 20000 pixels
    Unwritable,      // the file could not be written: the system's or cairo's reason
};

struct PlotOutcome {
    PlotFailure failure = PlotFailure::None;
    std::string reason;  // what went wrong, in words
    bool written() const { return failure == PlotFailure::None; }
};

// Writes the figure to `path` (".png" or ".svg", in any case). The file is written whole or not
// at all.
PlotOutcome writePlot(const PlotFigure& figure, const std::string& path);
