#include "cli/plot_file.hpp"

#include "cli/commands.hpp"

void writePlotFile(const PlotFigure& figure, const std::string& path) {
    const PlotOutcome outcome = writePlot(figure, path);
    if (!outcome.written()) {
        throw CommandError(
            outcome.failure == PlotFailure::UnknownEnding ? kExitUsageError : kExitFileError,
            "cannot write the plot " + path + ": " + outcome.reason);
    }
}
