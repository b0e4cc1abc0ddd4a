#include "cli/plot_file.hpp"

#include <iostream>

#include "cli/commands.hpp"

void writePlotFile(const PlotFigure& figure, const std::string& path) {
    const PlotOutcome outcome = writePlot(figure, path);
    if (!outcome.written()) {
        throw CommandError(
            outcome.failure == PlotFailure::UnknownEnding ? kExitUsageError : kExitFileError,
            "cannot write the plot " + path + ": " + outcome.reason);
    }
}

int finishReport(const std::string& plotPath, const std::function<PlotFigure()>& figure, bool json,
                 const std::function<nlohmann::json()>& report,
                 const std::function<void()>& printText) {
    if (!plotPath.empty()) {
        writePlotFile(figure(), plotPath);
    }
    if (json) {
        // A file name in the report need not be UTF-8: bytes that are not are shown as U+FFFD.
        std::cout << report().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
        printText();
    }
    finishStandardOutput();
    return kExitWritten;
}
