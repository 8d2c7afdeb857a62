// Draws a recording as SVG: a legend, a time-series panel, a cumulative
// distribution panel and a histogram per route.
#include "plot_svg.hh"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "summary_report.hh"
#include "summary_stats.hh"

namespace launcher {
namespace {

constexpr double picture_width = 960;
constexpr double plot_left = 90;
constexpr double plot_width = 820;
constexpr double legend_row = 18;
constexpr double wide_panel_height = 300;
constexpr double histogram_height = 210;
// Colours told apart by readers with any of the common colour-vision
// deficiencies (Okabe and Ito), repeated after eight routes.
constexpr std::array<const char *, 7> route_colours = {"#0072b2", "#d55e00", "#009e73", "#cc79a7",
                                                       "#e69f00", "#56b4e9", "#000000"};
const char *const waited_out_colour = "#999999";

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

std::string rect(double x, double y, double w, double h, const std::string &fill)
{
    return "<rect x=\"" + number(x) + "\" y=\"" + number(y) + "\" width=\"" + number(w) + "\" height=\"" +
           number(h) + "\" fill=\"" + fill + "\"/>\n";
}

// A tick spacing of 1, 2 or 5 times a power of ten giving about five ticks
// over `span`, which is positive.
double tick_step(double span)
{
    double raw = span / 5;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double step : {1.0, 2.0, 5.0}) {
        if (step * power >= raw) {
            return step * power;
        }
    }
    return 10 * power;
}

// One axis from a round value at or below the data to one at or above it,
// so that 20 to 24 ms of jitter fills the chart instead of its top fifth.
struct scale {
    double low, high, step;

    double at(double value, double from, double length) const
    {
        return from + (value - low) / (high - low) * length;
    }
};

scale fitted_scale(double low, double high)
{
    // A single value still gets an axis of some width around it.
    double step = tick_step(std::max({high - low, std::abs(high) / 10, 1e-3}));
    double first = std::floor(low / step) * step;
    double last = std::max(std::ceil(high / step) * step, first + step);
    return {first, last, step};
}

// Axes with round ticks on both scales and their titles; y grows upwards.
std::string axes(const area &a, const scale &sx, const scale &sy, const std::string &x_title,
                 const std::string &y_title)
{
    std::string svg =
        line(a.x, a.y + a.h, a.x + a.w, a.y + a.h, "black") + line(a.x, a.y, a.x, a.y + a.h, "black");
    // The small allowance keeps the last tick that sums of steps miss by rounding.
    for (double v = sx.low; v <= sx.high + sx.step * 1e-6; v += sx.step) {
        double x = sx.at(v, a.x, a.w);
        svg += line(x, a.y + a.h, x, a.y + a.h + 4, "black") +
               text_at(x, a.y + a.h + 16, number(std::abs(v) < sx.step * 1e-6 ? 0 : v), "middle");
    }
    for (double v = sy.low; v <= sy.high + sy.step * 1e-6; v += sy.step) {
        double y = sy.at(v, a.y + a.h, -a.h);
        svg += line(a.x - 4, y, a.x, y, "black") +
               text_at(a.x - 6, y + 4, number(std::abs(v) < sy.step * 1e-6 ? 0 : v), "end");
    }
    svg += text_at(a.x + a.w / 2, a.y + a.h + 34, x_title, "middle");
    double y_title_x = a.x - 50;
    double y_title_y = a.y + a.h / 2;
    svg += text_at(y_title_x, y_title_y, y_title, "middle",
                   " transform=\"rotate(-90 " + number(y_title_x) + " " + number(y_title_y) + ")\"");
    return svg;
}

// What the picture knows of one route.
struct route_plot {
    route_round_trips counts;  // --summary's grouping: its title and histogram values
    const char *colour;
    std::vector<const round_trip_record *> records;  // in file order
};

std::vector<route_plot> routes_of(const std::vector<round_trip_record> &records)
{
    std::vector<route_plot> routes;
    for (auto &counts : round_trips_by_route(records)) {
        routes.push_back({counts, route_colours[routes.size() % route_colours.size()], {}});
    }
    for (const auto &record : records) {
        for (auto &route : routes) {
            if (route.counts.route == route_key{record.to, record.hop, record.protocol}) {
                route.records.push_back(&record);
            }
        }
    }
    return routes;
}

// A cross, the mark of a round trip that waited out the bound.
std::string cross(double x, double y, const char *colour)
{
    return "<path class=\"waited-out\" d=\"M" + number(x - 4) + " " + number(y - 4) +
           "l8 8m0 -8l-8 8\" stroke=\"" + colour + "\" stroke-width=\"1.5\"/>\n";
}

// A downward triangle, the mark of a round trip that never reached its hop.
std::string triangle(double x, double y, const char *colour)
{
    return "<path class=\"unreachable\" d=\"M" + number(x - 4) + " " + number(y - 4) + "h8l-4 7z\" fill=\"" +
           colour + "\"/>\n";
}

std::string legend(const std::vector<route_plot> &routes, double top)
{
    std::string svg = "<g id=\"legend\">\n";
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const route_round_trips &c = routes[i].counts;
        double y = top + legend_row * static_cast<double>(i);
        svg += "<g class=\"legend-entry\">\n" + rect(plot_left, y - 10, 14, 10, routes[i].colour) +
               text_at(plot_left + 20, y,
                       route_name(c.route) + ": " + std::to_string(c.echoed) + " echoed, " +
                           std::to_string(c.waited_out) + " waited out, " + std::to_string(c.unreachable) +
                           " unreachable",
                       "start") +
               "</g>\n";
    }
    double y = top + legend_row * static_cast<double>(routes.size());
    svg += "<circle cx=\"" + number(plot_left + 7) + "\" cy=\"" + number(y - 5) +
           "\" r=\"2.5\" fill=\"black\"/>\n" + text_at(plot_left + 20, y, "echoed", "start") +
           cross(plot_left + 87, y - 5, "black") +
           text_at(plot_left + 100, y, "waited out (drawn above the chart)", "start") +
           triangle(plot_left + 317, y - 5, "black") +
           text_at(plot_left + 330, y, "never reached the hop (drawn below it)", "start");
    return svg + "</g>\n";
}

// Every route's echoed round trips against one shared time axis; waited-out
// round trips in a strip above the chart, unreached hops in one below it.
std::string time_series(const std::vector<route_plot> &routes, const area &a, const scale &ms)
{
    double last_s = 0;
    for (const auto &route : routes) {
        for (const auto *record : route.records) {
            last_s = std::max(last_s, static_cast<double>(record->t_us) / 1e6);
        }
    }
    scale seconds = fitted_scale(0, last_s);
    std::string svg = "<g id=\"time-series\">\n" +
                      text_at(a.x, a.y - 34, "Round-trip time over the run", "start",
                              " font-size=\"13\" font-weight=\"bold\"") +
                      axes(a, seconds, ms, "time since the run began (s)", "round-trip time (ms)");
    for (const auto &route : routes) {
        for (const auto *record : route.records) {
            double x = seconds.at(static_cast<double>(record->t_us) / 1e6, a.x, a.w);
            double rtt_ms = static_cast<double>(record->rtt_us) / 1e3;
            switch (record->outcome) {
            case trip_outcome::echoed:
                svg += "<circle cx=\"" + number(x) + "\" cy=\"" + number(ms.at(rtt_ms, a.y + a.h, -a.h)) +
                       "\" r=\"2\" fill=\"" + route.colour + "\"/>\n";
                break;
            case trip_outcome::waited_out:
                svg += cross(x, a.y - 12, route.colour);
                break;
            case trip_outcome::unreachable:
                svg += triangle(x, a.y + a.h + 46, route.colour);
                break;
            }
        }
    }
    return svg + "</g>\n";
}

// Per route, the share of its timed round trips at or below each time. A
// round trip that waited out never arrives: the curve stops below 1.
std::string distribution(const std::vector<route_plot> &routes, const area &a, const scale &ms)
{
    std::string svg =
        "<g id=\"cdf\">\n" +
        text_at(a.x, a.y - 12, "Cumulative distribution", "start", " font-size=\"13\" font-weight=\"bold\"") +
        axes(a, ms, {0, 1, 0.2}, "round-trip time (ms)", "share of round trips");
    for (const auto &route : routes) {
        std::vector<double> echoed;
        for (const auto *record : route.records) {
            if (record->outcome == trip_outcome::echoed) {
                echoed.push_back(static_cast<double>(record->rtt_us) / 1e3);
            }
        }
        if (echoed.empty()) {
            continue;
        }
        std::sort(echoed.begin(), echoed.end());
        double timed = static_cast<double>(route.counts.echoed + route.counts.waited_out);
        std::string path = "M" + number(a.x) + " " + number(a.y + a.h);
        for (std::size_t i = 0; i < echoed.size(); ++i) {
            double x = ms.at(echoed[i], a.x, a.w);
            path += "H" + number(x) + "V" + number(a.y + a.h - static_cast<double>(i + 1) / timed * a.h);
        }
        path += "H" + number(a.x + a.w);
        svg += "<path class=\"cdf-curve\" d=\"" + path + "\" fill=\"none\" stroke=\"" + route.colour +
               "\" stroke-width=\"1.5\"/>\n";
    }
    return svg + "</g>\n";
}

// One route's timed round trips in the bins --summary prints, echoed ones in
// the route's colour, waited-out ones stacked on top in grey.
std::string route_histogram(const route_plot &route, const area &a)
{
    std::string svg = "<g class=\"histogram\">\n" +
                      text_at(a.x, a.y - 12, route_name(route.counts.route), "start",
                              " font-weight=\"bold\" fill=\"" + std::string(route.colour) + "\"");
    if (route.counts.rtt_us.empty()) {
        return svg + text_at(a.x + a.w / 2, a.y + a.h / 2, "no timed round trips", "middle") + "</g>\n";
    }
    auto bins = histogram(route.counts.rtt_us, histogram_max_bins);
    std::vector<std::size_t> waited(bins.size());
    long width = bins.front().high - bins.front().low + 1;
    for (const auto *record : route.records) {
        if (record->outcome == trip_outcome::waited_out) {
            auto bin =
                static_cast<std::size_t>((static_cast<long>(record->rtt_us) - bins.front().low) / width);
            ++waited[std::min(bin, bins.size() - 1)];
        }
    }
    std::size_t fullest = 0;
    for (const auto &bin : bins) {
        fullest = std::max(fullest, bin.count);
    }
    scale sx{static_cast<double>(bins.front().low) / 1e3, static_cast<double>(bins.back().high + 1) / 1e3, 0};
    sx.step = (sx.high - sx.low) / static_cast<double>(bins.size()) *
              std::ceil(static_cast<double>(bins.size()) / 6);
    scale sy = fitted_scale(0, static_cast<double>(fullest));
    sy.step = std::max(sy.step, 1.0);  // counts are whole
    sy.high = std::ceil(static_cast<double>(fullest) / sy.step) * sy.step;
    svg += axes(a, sx, sy, "round-trip time (ms)", "round trips");
    double bar = a.w / static_cast<double>(bins.size());
    for (std::size_t i = 0; i < bins.size(); ++i) {
        double x = a.x + static_cast<double>(i) * bar;
        double all = static_cast<double>(bins[i].count) / sy.high * a.h;
        double grey = static_cast<double>(waited[i]) / sy.high * a.h;
        svg += "<g class=\"bin\" stroke=\"white\">\n" +
               rect(x, a.y + a.h - all + grey, bar, all - grey, route.colour) +
               (waited[i] > 0 ? rect(x, a.y + a.h - all, bar, grey, waited_out_colour) : "") + "</g>\n";
    }
    return svg + "</g>\n";
}

}  // namespace

std::string plot_svg(const std::vector<round_trip_record> &records)
{
    const std::vector<route_plot> routes = routes_of(records);
    // The round-trip axis is shared by the time series and the distribution,
    // and fitted to what was echoed: waited-out times are the bound, not the path.
    double least_ms = 0;
    double most_ms = 0;
    bool any = false;
    for (const auto &record : records) {
        if (record.outcome == trip_outcome::echoed) {
            double ms = static_cast<double>(record.rtt_us) / 1e3;
            least_ms = any ? std::min(least_ms, ms) : ms;
            most_ms = any ? std::max(most_ms, ms) : ms;
            any = true;
        }
    }
    const scale ms = fitted_scale(least_ms, most_ms);

    const double legend_top = 30;
    const double series_top = legend_top + legend_row * static_cast<double>(routes.size() + 1) + 60;
    const double cdf_top = series_top + wide_panel_height + 20;
    const double histograms_top = cdf_top + wide_panel_height;
    const double rows = std::ceil(static_cast<double>(routes.size()) / 2);
    const double height = histograms_top + histogram_height * rows + 10;

    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(picture_width) +
                      "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(picture_width) + " " +
                      number(height) +
                      "\" font-family=\"sans-serif\" font-size=\"11\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += legend(routes, legend_top);
    svg += time_series(routes, {plot_left, series_top, plot_width, wide_panel_height - 90}, ms);
    svg += distribution(routes, {plot_left, cdf_top + 20, plot_width, wide_panel_height - 80}, ms);
    for (std::size_t i = 0; i < routes.size(); ++i) {
        double left = i % 2 == 0 ? plot_left : plot_left + plot_width / 2 + 30;
        double top = histograms_top + histogram_height * static_cast<double>(i / 2) + 20;
        svg += route_histogram(routes[i], {left, top, plot_width / 2 - 30, histogram_height - 75});
    }
    return svg + "</svg>\n";
}

}  // namespace launcher
