// Draws the recording's routes as SVG panels: a scatter of round-trip time
// against time since the run began, and a histogram of the round-trip times.
#include "plot_svg.hh"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "summary_stats.hh"

namespace launcher {
namespace {

constexpr double picture_width = 960;
constexpr double panel_height = 300;
constexpr std::size_t plot_histogram_bins = 20;
const char *const point_colour = "#1f5fbf";

// A chart's place in the picture: left, top, width, height.
struct area {
    double x, y, w, h;
};

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string xml_text(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        default:
            // XML 1.0 cannot hold control bytes at all, even escaped.
            escaped += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
    }
    return escaped;
}

std::string text_at(double x, double y, const std::string &text, const char *anchor,
                    const std::string &extra = "")
{
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\"" + extra +
           ">" + xml_text(text) + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const char *colour)
{
    return "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) + "\" y2=\"" +
           number(y2) + "\" stroke=\"" + colour + "\"/>\n";
}

// A tick spacing of 1, 2 or 5 times a power of ten giving about five ticks
// up to `top`, which is positive.
double tick_step(double top)
{
    double raw = top / 5;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double step : {1.0, 2.0, 5.0}) {
        if (step * power >= raw) {
            return step * power;
        }
    }
    return 10 * power;
}

// One axis: from `low` to a round value at or above `high`.
struct scale {
    double low, high, step;
};

scale scale_for(double low, double high)
{
    double step = tick_step(std::max(high - low, 1e-3));
    return {low, low + std::max(std::ceil((high - low) / step), 1.0) * step, step};
}

// Axes of a chart with the ticks and titles of both scales; values map into
// `a` through the scales.
std::string axes(const area &a, const scale &sx, const scale &sy, const std::string &x_title,
                 const std::string &y_title)
{
    std::string svg =
        line(a.x, a.y + a.h, a.x + a.w, a.y + a.h, "black") + line(a.x, a.y, a.x, a.y + a.h, "black");
    // The small allowance keeps the last tick that sums of steps miss by rounding.
    for (double v = sx.low; v <= sx.high + sx.step * 1e-6; v += sx.step) {
        double x = a.x + (v - sx.low) / (sx.high - sx.low) * a.w;
        svg +=
            line(x, a.y + a.h, x, a.y + a.h + 4, "black") + text_at(x, a.y + a.h + 16, number(v), "middle");
    }
    for (double v = sy.low; v <= sy.high + sy.step * 1e-6; v += sy.step) {
        double y = a.y + a.h - (v - sy.low) / (sy.high - sy.low) * a.h;
        svg += line(a.x - 4, y, a.x, y, "black") + text_at(a.x - 6, y + 4, number(v), "end");
    }
    svg += text_at(a.x + a.w / 2, a.y + a.h + 34, x_title, "middle");
    double y_title_x = a.x - 46;
    double y_title_y = a.y + a.h / 2;
    svg += text_at(y_title_x, y_title_y, y_title, "middle",
                   " transform=\"rotate(-90 " + number(y_title_x) + " " + number(y_title_y) + ")\"");
    return svg;
}

// Each timed round trip as a point: seconds since the run began against
// milliseconds of round trip.
std::string round_trips_over_time(const route_round_trips &route, const area &a)
{
    double last_s = *std::max_element(route.t_us.begin(), route.t_us.end()) / 1e6;
    double most_ms = *std::max_element(route.rtt_us.begin(), route.rtt_us.end()) / 1e3;
    scale sx = scale_for(0, last_s);
    scale sy = scale_for(0, most_ms);
    std::string svg = axes(a, sx, sy, "time since the run began (s)", "round-trip time (ms)");
    svg += "<g fill=\"" + std::string(point_colour) + "\">\n";
    for (std::size_t i = 0; i < route.t_us.size(); ++i) {
        double x = a.x + route.t_us[i] / 1e6 / sx.high * a.w;
        double y = a.y + a.h - route.rtt_us[i] / 1e3 / sy.high * a.h;
        svg += "<circle cx=\"" + number(x) + "\" cy=\"" + number(y) + "\" r=\"2\"/>\n";
    }
    return svg + "</g>\n";
}

// The round-trip times in equal bins, as bars over their range in ms.
std::string round_trip_histogram(const route_round_trips &route, const area &a)
{
    auto bins = histogram(route.rtt_us, plot_histogram_bins);
    std::size_t fullest = 0;
    for (const auto &bin : bins) {
        fullest = std::max(fullest, bin.count);
    }
    double low_ms = bins.front().low / 1e3;
    double high_ms = (bins.back().high + 1) / 1e3;
    scale sx{low_ms, high_ms,
             (high_ms - low_ms) / static_cast<double>(bins.size()) *
                 std::ceil(static_cast<double>(bins.size()) / 5)};
    scale sy = scale_for(0, static_cast<double>(fullest));
    sy.step = std::max(sy.step, 1.0);  // counts are whole
    sy.high = std::ceil(static_cast<double>(fullest) / sy.step) * sy.step;
    std::string svg = axes(a, sx, sy, "round-trip time (ms)", "round trips");
    double bar_width = a.w / static_cast<double>(bins.size());
    svg += "<g fill=\"" + std::string(point_colour) + "\" stroke=\"white\">\n";
    for (std::size_t i = 0; i < bins.size(); ++i) {
        double height = static_cast<double>(bins[i].count) / sy.high * a.h;
        svg += "<rect x=\"" + number(a.x + static_cast<double>(i) * bar_width) + "\" y=\"" +
               number(a.y + a.h - height) + "\" width=\"" + number(bar_width) + "\" height=\"" +
               number(height) + "\"/>\n";
    }
    return svg + "</g>\n";
}

std::string panel(const route_round_trips &route, double top)
{
    std::string title = route_name(route.route) + ": " + std::to_string(route.echoed) + " echoed, " +
                        std::to_string(route.waited_out) + " waited out, " +
                        std::to_string(route.unreachable) + " unreachable";
    std::string svg =
        text_at(picture_width / 2, top + 24, title, "middle", " font-size=\"15\" font-weight=\"bold\"");
    if (route.rtt_us.empty()) {
        return svg + text_at(picture_width / 2, top + panel_height / 2, "no timed round trips", "middle");
    }
    return svg + round_trips_over_time(route, {80, top + 50, 480, 190}) +
           round_trip_histogram(route, {660, top + 50, 280, 190});
}

}  // namespace

std::string plot_svg(const std::vector<route_round_trips> &routes)
{
    double height = panel_height * static_cast<double>(std::max<std::size_t>(routes.size(), 1));
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(picture_width) +
                      "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(picture_width) + " " +
                      number(height) +
                      "\" font-family=\"sans-serif\" font-size=\"11\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (std::size_t i = 0; i < routes.size(); ++i) {
        svg += panel(routes[i], panel_height * static_cast<double>(i));
    }
    return svg + "</svg>\n";
}

}  // namespace launcher
