#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "plot/plot.hpp"

// Writes a subcommand's --plot: a usage error for a name that is neither .png nor .svg, a file
// error when it cannot be written, both saying "cannot write the plot PATH: ...".
void writePlotFile(const PlotFigure& figure, const std::string& path);

// How a report subcommand ends: its plot into `plotPath` when one is named, then the report on
// standard output, as one JSON object when `json` is set or as text, flushed and checked.
// Returns the exit code of a report written.
int finishReport(const std::string& plotPath, const std::function<PlotFigure()>& figure, bool json,
                 const std::function<nlohmann::json()>& report,
                 const std::function<void()>& printText);
