#pragma once

#include <string>

#include "plot/plot.hpp"

// Writes a subcommand's --plot: a usage error for a name that is neither .png nor .svg, a file
// error when it cannot be written, both saying "cannot write the plot PATH: ...".
void writePlotFile(const PlotFigure& figure, const std::string& path);
