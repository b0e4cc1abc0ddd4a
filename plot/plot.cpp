#include "plot/plot.hpp"

#include <cairo-svg.h>
#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "files/safe_output.hpp"

namespace {

// Colours that stay apart from each other on white and for most colour-blind eyes.
struct Colour {
    double red, green, blue;
};
constexpr Colour kPalette[] = {
    {0.000, 0.447, 0.698},  // blue
    {0.835, 0.369, 0.000},  // vermilion
    {0.000, 0.620, 0.451},  // bluish green
    {0.800, 0.475, 0.655},  // reddish purple
    {0.902, 0.624, 0.000},  // orange
    {0.337, 0.706, 0.914},  // sky blue
    {0.400, 0.400, 0.400},  // grey
    {0.000, 0.000, 0.000},  // black
};
constexpr int kPaletteSize = sizeof kPalette / sizeof kPalette[0];

const char* const kFont = "DejaVu Sans";
constexpr double kTitleSize = 22.0;
constexpr double kPanelTitleSize = 17.0;
constexpr double kLabelSize = 15.0;
constexpr double kTickSize = 13.0;
constexpr double kLegendSize = 14.0;
constexpr double kLineWidth = 2.2;
constexpr double kMarkerRadius = 5.0;

// Room around each panel's plotting area, in pixels.
constexpr double kLeftMargin = 95.0;
constexpr double kRightMargin = 215.0;  // the legend
constexpr double kPanelTop = 34.0;      // the panel's title
constexpr double kPanelBottom = 62.0;   // tick labels and the x label

struct Range {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    void include(double value) {
        if (std::isfinite(value)) {
            low = std::min(low, value);
            high = std::max(high, value);
        }
    }
    bool empty() const { return !(low <= high); }
};

struct Axis {
    double low = 0.0;
    double high = 1.0;
    double step = 0.1;  // linear ticks
    bool logarithmic = false;
};

// A tick step of 1, 2 or 5 times a power of ten giving about `count` intervals.
double niceStep(double span, int count) {
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= raw) {
            return factor * power;
        }
    }
    return 10.0 * power;
}

Axis linearAxis(Range range, int ticks) {
    if (range.empty()) {
        range = {0.0, 1.0};
    }
    if (range.high - range.low <= 1e-12 * std::max(1.0, std::fabs(range.high))) {
        const double pad = std::max(1.0, std::fabs(range.high) * 0.1);
        range.low -= pad;
        range.high += pad;
    }
    Axis axis;
    axis.step = niceStep(range.high - range.low, ticks);
    axis.low = std::floor(range.low / axis.step + 1e-9) * axis.step;
    axis.high = std::ceil(range.high / axis.step - 1e-9) * axis.step;
    return axis;
}

Axis logarithmicAxis(const Range& range) {
    Axis axis;
    axis.logarithmic = true;
    if (range.empty() || !(range.high > 0.0)) {
        axis.low = 1e-3;
        axis.high = 1.0;
        return axis;
    }
    const double low = range.low > 0.0 ? range.low : range.high * 1e-3;
    axis.low = std::pow(10.0, std::floor(std::log10(low)));
    axis.high = std::pow(10.0, std::ceil(std::log10(range.high)));
    if (axis.high <= axis.low) {
        axis.high = axis.low * 10.0;
    }
    return axis;
}

// Position of `value` along the axis as a fraction from low (0) to high (1).
double fraction(const Axis& axis, double value) {
    if (axis.logarithmic) {
        if (!(value > 0.0)) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return (std::log10(value) - std::log10(axis.low)) /
               (std::log10(axis.high) - std::log10(axis.low));
    }
    return (value - axis.low) / (axis.high - axis.low);
}

std::string tickText(double value, double step) {
    char text[32];
    if (std::fabs(value) < step * 1e-6) {
        value = 0.0;
    }
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    std::snprintf(text, sizeof text, "%.*f", std::min(decimals, 9), value);
    return text;
}

std::string logTickText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

void setColour(cairo_t* cr, int index) {
    const Colour& colour = kPalette[((index % kPaletteSize) + kPaletteSize) % kPaletteSize];
    cairo_set_source_rgb(cr, colour.red, colour.green, colour.blue);
}

void font(cairo_t* cr, double size, bool bold = false) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

// Draws `text` with its reference point placed by the alignments (0 left/top, 0.5 centre,
// 1 right/bottom).
void text(cairo_t* cr, const std::string& words, double x, double y, double alignX, double alignY) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, words.c_str(), &extents);
    cairo_move_to(cr, x - extents.x_bearing - extents.width * alignX,
                  y - extents.y_bearing - extents.height * alignY);
    cairo_show_text(cr, words.c_str());
}

void marker(cairo_t* cr, double x, double y) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, kMarkerRadius, 0.0, 2 * M_PI);
}

// Where a panel draws: its plotting area in pixels and its axes.
struct PanelFrame {
    double left = 0.0;
    double right = 0.0;
    double plotTop = 0.0;
    double plotBottom = 0.0;
    Axis xAxis;
    Axis yAxis;

    double px(double x) const { return left + fraction(xAxis, x) * (right - left); }
    double py(double y) const { return plotBottom - fraction(yAxis, y) * (plotBottom - plotTop); }
};

PanelFrame frameOf(const PlotPanel& panel, double top, double height, double width) {
    PanelFrame frame;
    frame.left = kLeftMargin;
    frame.right = width - kRightMargin;
    frame.plotTop = top + kPanelTop;
    frame.plotBottom = top + height - kPanelBottom;
    Range xRange;
    Range yRange;
    for (const PlotSeries& series : panel.series) {
        const std::size_t count = std::min(series.x.size(), series.y.size());
        for (std::size_t i = 0; i < count; ++i) {
            if (std::isfinite(series.x[i]) && std::isfinite(series.y[i]) &&
                (!panel.logY || series.y[i] > 0.0)) {
                xRange.include(series.x[i]);
                yRange.include(series.y[i]);
            }
        }
    }
    frame.xAxis = linearAxis(xRange, 10);
    frame.yAxis = panel.logY ? logarithmicAxis(yRange) : linearAxis(yRange, 6);
    return frame;
}

void gridLine(cairo_t* cr, double x0, double y0, double x1, double y1, bool strong) {
    cairo_set_source_rgb(cr, strong ? 0.55 : 0.86, strong ? 0.55 : 0.86, strong ? 0.55 : 0.86);
    cairo_move_to(cr, x0, y0);
    cairo_line_to(cr, x1, y1);
    cairo_stroke(cr);
}

// Grid lines and tick labels.
void drawGrid(cairo_t* cr, const PanelFrame& f) {
    cairo_set_line_width(cr, 1.0);
    font(cr, kTickSize);
    const Axis& xAxis = f.xAxis;
    const Axis& yAxis = f.yAxis;
    const int xTicks = static_cast<int>(std::lround((xAxis.high - xAxis.low) / xAxis.step));
    for (int i = 0; i <= xTicks; ++i) {
        const double value = xAxis.low + i * xAxis.step;
        const double x = f.px(value);
        gridLine(cr, x, f.plotTop, x, f.plotBottom, false);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        text(cr, tickText(value, xAxis.step), x, f.plotBottom + 7, 0.5, 0.0);
    }
    if (yAxis.logarithmic) {
        for (double decade = yAxis.low; decade <= yAxis.high * 1.0001; decade *= 10.0) {
            for (int m = 1; m <= 9 && decade * m <= yAxis.high * 1.0001; ++m) {
                gridLine(cr, f.left, f.py(decade * m), f.right, f.py(decade * m), false);
            }
            cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
            text(cr, logTickText(decade), f.left - 8, f.py(decade), 1.0, 0.5);
        }
    } else {
        const int yTicks = static_cast<int>(std::lround((yAxis.high - yAxis.low) / yAxis.step));
        for (int i = 0; i <= yTicks; ++i) {
            const double value = yAxis.low + i * yAxis.step;
            gridLine(cr, f.left, f.py(value), f.right, f.py(value),
                     std::fabs(value) < yAxis.step * 1e-6);
            cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
            text(cr, tickText(value, yAxis.step), f.left - 8, f.py(value), 1.0, 0.5);
        }
    }
}

// Frame, title and labels.
void drawFrameAndLabels(cairo_t* cr, const PlotPanel& panel, const PanelFrame& f, double top) {
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_set_line_width(cr, 1.4);
    cairo_rectangle(cr, f.left, f.plotTop, f.right - f.left, f.plotBottom - f.plotTop);
    cairo_stroke(cr);
    font(cr, kPanelTitleSize, true);
    text(cr, panel.title, (f.left + f.right) / 2, top + 8, 0.5, 0.0);
    font(cr, kLabelSize);
    text(cr, panel.xLabel, (f.left + f.right) / 2, f.plotBottom + 32, 0.5, 0.0);
    cairo_save(cr);
    cairo_translate(cr, 22, (f.plotTop + f.plotBottom) / 2);
    cairo_rotate(cr, -M_PI / 2);
    text(cr, panel.yLabel, 0, 0, 0.5, 0.5);
    cairo_restore(cr);
}

// The series drawn as lines, clipped to the plotting area.
void drawLines(cairo_t* cr, const PlotPanel& panel, const PanelFrame& f) {
    cairo_save(cr);
    cairo_rectangle(cr, f.left, f.plotTop, f.right - f.left, f.plotBottom - f.plotTop);
    cairo_clip(cr);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (const PlotSeries& series : panel.series) {
        const std::size_t count = std::min(series.x.size(), series.y.size());
        setColour(cr, series.colour);
        cairo_set_line_width(cr, kLineWidth);
        if (series.pointsOnly) {
            continue;  // drawn whole, over the frame, by drawMarkers
        }
        const double dashes[] = {9.0, 6.0};
        cairo_set_dash(cr, dashes, series.dashed ? 2 : 0, 0.0);
        bool drawing = false;
        for (std::size_t i = 0; i < count; ++i) {
            const double x = f.px(series.x[i]);
            const double y = f.py(series.y[i]);
            if (!std::isfinite(x) || !std::isfinite(y)) {
                drawing = false;  // a gap where the value is missing
                continue;
            }
            if (drawing) {
                cairo_line_to(cr, x, y);
            } else {
                cairo_move_to(cr, x, y);
                drawing = true;
            }
        }
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0.0);
    }
    cairo_restore(cr);
}

// Markers are not clipped: a point on the frame (a null on the zero line at the bottom) shows
// whole. Points outside the plotting area are left out.
void drawMarkers(cairo_t* cr, const PlotPanel& panel, const PanelFrame& f) {
    for (const PlotSeries& series : panel.series) {
        if (!series.pointsOnly) {
            continue;
        }
        setColour(cr, series.colour);
        const std::size_t count = std::min(series.x.size(), series.y.size());
        for (std::size_t i = 0; i < count; ++i) {
            const double x = f.px(series.x[i]);
            const double y = f.py(series.y[i]);
            if (x >= f.left - 0.5 && x <= f.right + 0.5 && y >= f.plotTop - 0.5 &&
                y <= f.plotBottom + 0.5) {
                marker(cr, x, y);
            }
        }
        cairo_fill(cr);
    }
}

// The legend, right of the plotting area.
void drawLegend(cairo_t* cr, const PlotPanel& panel, const PanelFrame& f, double width) {
    font(cr, kLegendSize);
    double legendY = f.plotTop + 6;
    for (const PlotSeries& series : panel.series) {
        if (series.label.empty()) {
            continue;
        }
        const double x = f.right + 16;
        setColour(cr, series.colour);
        cairo_set_line_width(cr, kLineWidth);
        if (series.pointsOnly) {
            marker(cr, x + 14, legendY + 8);
            cairo_fill(cr);
        } else {
            const double dashes[] = {7.0, 4.0};
            cairo_set_dash(cr, dashes, series.dashed ? 2 : 0, 0.0);
            cairo_move_to(cr, x, legendY + 8);
            cairo_line_to(cr, x + 30, legendY + 8);
            cairo_stroke(cr);
            cairo_set_dash(cr, nullptr, 0, 0.0);
        }
        // A long label is set smaller to fit the room right of the plot.
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        const double room = width - (x + 38) - 6;
        cairo_text_extents_t extents;
        cairo_text_extents(cr, series.label.c_str(), &extents);
        if (extents.x_advance > room) {
            cairo_set_font_size(cr, std::max(8.0, kLegendSize * room / extents.x_advance));
        }
        text(cr, series.label, x + 38, legendY + 8, 0.0, 0.5);
        font(cr, kLegendSize);
        legendY += 24;
    }
}

void drawPanel(cairo_t* cr, const PlotPanel& panel, double top, double height, double width) {
    const PanelFrame frame = frameOf(panel, top, height, width);
    drawGrid(cr, frame);
    drawFrameAndLabels(cr, panel, frame, top);
    drawLines(cr, panel, frame);
    drawMarkers(cr, panel, frame);
    drawLegend(cr, panel, frame, width);
}

void drawFigure(cairo_t* cr, const PlotFigure& figure) {
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    double top = 0.0;
    if (!figure.title.empty()) {
        cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
        font(cr, kTitleSize, true);
        text(cr, figure.title, figure.width / 2.0, 12, 0.5, 0.0);
        top = 46.0;
    }
    if (figure.panels.empty()) {
        return;
    }
    const double panelHeight = (figure.height - top - 8.0) / figure.panels.size();
    for (const PlotPanel& panel : figure.panels) {
        drawPanel(cr, panel, top, panelHeight, figure.width);
        top += panelHeight;
    }
}

// Where cairo's stream output goes: the temporary file, remembering the first failed write.
struct Sink {
    int fd = -1;
    int error = 0;
};

cairo_status_t writeToSink(void* closure, const unsigned char* data, unsigned int length) {
    Sink& sink = *static_cast<Sink*>(closure);
    while (length > 0) {
        const ssize_t written = ::write(sink.fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            sink.error = errno;
            return CAIRO_STATUS_WRITE_ERROR;
        }
        data += written;
        length -= static_cast<unsigned int>(written);
    }
    return CAIRO_STATUS_SUCCESS;
}

// Draws the figure on an SVG or PNG surface whose bytes go to `sink`; cairo's status.
cairo_status_t drawInto(const PlotFigure& figure, bool svg, Sink& sink) {
    cairo_surface_t* surface =
        svg ? cairo_svg_surface_create_for_stream(writeToSink, &sink, figure.width, figure.height)
            : cairo_image_surface_create(CAIRO_FORMAT_ARGB32, figure.width, figure.height);
    cairo_t* cr = cairo_create(surface);
    drawFigure(cr, figure);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && !svg) {
        status = cairo_surface_write_to_png_stream(surface, writeToSink, &sink);
    }
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) {
        status = cairo_surface_status(surface);
    }
    cairo_surface_destroy(surface);
    return status;
}

bool endsWith(const std::string& text, const std::string& ending) {
    if (text.size() < ending.size()) {
        return false;
    }
    return std::equal(ending.rbegin(), ending.rend(), text.rbegin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
    });
}

}  // namespace

PlotOutcome writePlot(const PlotFigure& figure, const std::string& path) {
    const bool png = endsWith(path, ".png");
    const bool svg = endsWith(path, ".svg");
    if (!png && !svg) {
        return {PlotFailure::UnknownEnding, "a plot's file name must end in .png or .svg"};
    }
    if (figure.width < 200 || figure.height < 150 || figure.width > 20000 ||
        figure.height > 20000) {
        return {PlotFailure::ImpossibleSize,
                "a plot must measure between 200 x 150 and 20000 x 20000 pixels"};
    }
    PlotOutcome outcome;
    SafeOutput output;
    if (!output.begin(path, outcome.reason)) {
        outcome.failure = PlotFailure::Unwritable;
        return outcome;
    }
    Sink sink{output.fd(), 0};
    const cairo_status_t status = drawInto(figure, svg, sink);
    if (status != CAIRO_STATUS_SUCCESS) {
        output.abandon();
        return {PlotFailure::Unwritable,
                sink.error != 0 ? std::strerror(sink.error) : cairo_status_to_string(status)};
    }
    if (!output.commit(outcome.reason)) {
        outcome.failure = PlotFailure::Unwritable;
    }
    return outcome;
}
