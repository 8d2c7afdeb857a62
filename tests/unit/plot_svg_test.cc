// The plot's structure: one self-contained SVG document with a legend entry
// per route, a shared time series whose round-trip axis is fitted to the
// data, a cumulative distribution, --summary's histogram bins, and round
// trips that waited out or never reached their hop marked apart. (Rendering
// is tested with a real renderer in the launcher's integration tests.)
#include "plot_svg.hh"

#include <gtest/gtest.h>

#include "summary_report.hh"
#include "summary_stats.hh"

namespace {

using namespace launcher;

std::size_t occurrences(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

round_trip_record trip(const std::string &hop, std::uint64_t t_us, std::uint64_t rtt_us,
                       trip_outcome outcome = trip_outcome::echoed)
{
    return {t_us, 1, "10.0.0.2", hop, "TCP", 64, rtt_us, outcome};
}

TEST(PlotSvg, LegendPerRouteSharedFittedAxesDistributionAndOutcomesApart)
{
    std::vector<round_trip_record> records;
    std::vector<long> jittery_us, slow_us;
    for (std::uint64_t i = 0; i < 40; ++i) {
        records.push_back(trip("a<b&c", i * 50000, 20000 + i * 100));  // 20 to 23.9 ms
        jittery_us.push_back(static_cast<long>(20000 + i * 100));
        records.push_back(trip("slow", i * 50000 + 7, 31000 + i * 50));
        slow_us.push_back(static_cast<long>(31000 + i * 50));
    }
    records.push_back(trip("a<b&c", 2100000, 2001000, trip_outcome::waited_out));
    jittery_us.push_back(2001000);
    records.push_back(trip("slow", 2200000, 0, trip_outcome::unreachable));
    records.push_back(trip("gone", 2300000, 0, trip_outcome::unreachable));
    std::string svg = plot_svg(records);

    EXPECT_TRUE(svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"960\"")) << svg.substr(0, 120);
    EXPECT_TRUE(svg.ends_with("</svg>\n"));
    for (const char *outside : {"<script", "href", "url(", "<image", "@import", "<foreignObject"}) {
        EXPECT_EQ(svg.find(outside), std::string::npos) << outside;
    }
    EXPECT_EQ(occurrences(svg, "class=\"legend-entry\""), 3u);
    for (const char *entry : {">10.0.0.2 via a&lt;b&amp;c (TCP): 40 echoed, 1 waited out, 0 unreachable</text>",
                              ">10.0.0.2 via slow (TCP): 40 echoed, 0 waited out, 1 unreachable</text>",
                              ">10.0.0.2 via gone (TCP): 0 echoed, 0 waited out, 1 unreachable</text>"}) {
        EXPECT_NE(svg.find(entry), std::string::npos) << entry;
    }
    for (const char *colour : {"#0072b2", "#d55e00", "#009e73"}) {
        EXPECT_NE(svg.find("fill=\"" + std::string(colour) + "\""), std::string::npos) << colour;
    }
    // One curve per route with echoes; marks apart, the legend's sample included.
    EXPECT_NE(svg.find("<g id=\"cdf\">"), std::string::npos);
    EXPECT_EQ(occurrences(svg, "class=\"cdf-curve\""), 2u);
    EXPECT_EQ(occurrences(svg, "<circle "), 80u + 1);
    EXPECT_EQ(occurrences(svg, "class=\"waited-out\""), 1u + 1);
    EXPECT_EQ(occurrences(svg, "class=\"unreachable\""), 2u + 1);
    // The round-trip axis spans the echoes (20 to 35 ms in round steps), not 0
    // to the 2 s bound.
    const auto series_at = svg.find("<g id=\"time-series\">");
    const std::string series = svg.substr(series_at, svg.find("<g id=\"cdf\">") - series_at);
    for (const char *tick : {"\">20</text>", "\">35</text>"}) {
        EXPECT_NE(series.find(tick), std::string::npos) << tick;
    }
    for (const char *tick : {"\">0</text>\n<line x1=\"86\"", "\">2000</text>"}) {
        EXPECT_EQ(series.find(tick), std::string::npos) << tick;
    }
    EXPECT_EQ(occurrences(svg, "class=\"bin\""),
              histogram(jittery_us, histogram_max_bins).size() + histogram(slow_us, histogram_max_bins).size());
    EXPECT_NE(svg.find(">no timed round trips</text>"), std::string::npos);
}

}  // namespace
