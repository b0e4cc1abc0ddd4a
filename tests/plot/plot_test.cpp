#include "plot/plot.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/files.hpp"

namespace {

// Two stacked panels: a straight line with a gap, markers, and a logarithmic panel whose values
// span four decades, one of them not positive.
PlotFigure sampleFigure() {
    PlotFigure figure;
    figure.title = "Sample";
    PlotPanel line;
    line.title = "Line";
    line.xLabel = "x (mm)";
    line.yLabel = "y (degrees)";
    PlotSeries straight;
    straight.label = "straight";
    for (int i = 0; i <= 100; ++i) {
        straight.x.push_back(i);
        straight.y.push_back(i == 50 ? std::nan("") : 0.5 * i - 10);
    }
    PlotSeries points;
    points.pointsOnly = true;
    points.colour = 1;
    points.x = {20.0, 70.0};
    points.y = {0.0, 25.0};
    line.series = {straight, points};
    PlotPanel logarithmic;
    logarithmic.title = "Log";
    logarithmic.xLabel = "frequency (Hz)";
    logarithmic.yLabel = "level (%)";
    logarithmic.logY = true;
    PlotSeries decades;
    decades.label = "decades, dashed";
    decades.dashed = true;
    decades.colour = 2;
    decades.x = {1, 2, 3, 4, 5};
    decades.y = {0.001, 0.01, 0.1, 1.0, 0.0};
    PlotSeries empty;
    empty.label = "nothing";
    logarithmic.series = {decades, empty};
    figure.panels = {line, logarithmic};
    return figure;
}

std::string readText(const std::string& path) {
    const std::vector<std::uint8_t> bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(PlotTest, SvgHoldsEveryDrawnPointAndBreaksAtGaps) {
    TemporaryDirectory folder;
    const PlotOutcome outcome = writePlot(sampleFigure(), folder.file("figure.svg"));
    ASSERT_TRUE(outcome.written()) << outcome.reason;
    const std::string svg = readText(folder.file("figure.svg"));
    // The straight line is two strokes (the gap at x = 50) of 50 points each; cairo may leave
    // out a point that would not move the pen. The logarithmic series leaves out its value 0.
    const std::regex path(R"re(stroke-width:2\.2[^"]*" d="([^"]*)")re");
    bool line = false;
    bool decades = false;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), path); it != std::sregex_iterator();
         ++it) {
        const std::string d = (*it)[1];
        const auto moves = std::count(d.begin(), d.end(), 'M');
        const auto lines = std::count(d.begin(), d.end(), 'L');
        line = line || (moves == 2 && lines >= 80 && lines <= 98);
        decades = decades || (moves == 1 && lines == 3);
    }
    EXPECT_TRUE(line);
    EXPECT_TRUE(decades);
    EXPECT_NE(svg.find("stroke-dasharray"), std::string::npos);  // the dashed series
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"figure.svg"});
}

TEST(PlotTest, PngHasTheFiguresSize) {
    TemporaryDirectory folder;
    PlotFigure figure = sampleFigure();
    figure.width = 900;
    figure.height = 1300;
    const PlotOutcome outcome = writePlot(figure, folder.file("figure.PNG"));
    ASSERT_TRUE(outcome.written()) << outcome.reason;
    const std::vector<std::uint8_t> bytes = readBytes(folder.file("figure.PNG"));
    ASSERT_GT(bytes.size(), 24u);
    EXPECT_EQ(bytes[1], 'P');
    EXPECT_EQ((bytes[18] << 8) | bytes[19], 900);
    EXPECT_EQ((bytes[22] << 8) | bytes[23], 1300);
}

TEST(PlotTest, RefusalsLeaveNoFileAndKeepAnOldOne) {
    TemporaryDirectory folder;
    const std::string old = folder.file("old.svg");
    writeBytes(old, {'o', 'l', 'd'});
    std::filesystem::create_directory(folder.file("folder.svg"));
    struct Case {
        std::string path;
        int width;
        const char* reasonPart;
        PlotFailure failure;
    };
    for (const Case& c :
         {Case{folder.file("figure.pdf"), 1200, ".png or .svg", PlotFailure::UnknownEnding},
          Case{folder.file("missing/figure.png"), 1200, "No such file", PlotFailure::Unwritable},
          Case{old, 10, "pixels", PlotFailure::ImpossibleSize},
          Case{folder.file("folder.svg"), 1200, "", PlotFailure::Unwritable}}) {
        SCOPED_TRACE(c.path);
        PlotFigure figure = sampleFigure();
        figure.width = c.width;
        const PlotOutcome outcome = writePlot(figure, c.path);
        EXPECT_FALSE(outcome.written());
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_NE(outcome.reason.find(c.reasonPart), std::string::npos) << outcome.reason;
    }
    EXPECT_EQ(readText(old), "old");
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"folder.svg", "old.svg"}));
}

}  // namespace
