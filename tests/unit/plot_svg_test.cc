// The plot's structure: one self-contained SVG document, a titled panel per
// route with a point per timed round trip. (Rendering is tested with a real
// renderer in the launcher's integration tests.)
#include "plot_svg.hh"

#include <gtest/gtest.h>

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

TEST(PlotSvg, OneTitledPanelPerRouteAndAPointPerTimedRoundTrip)
{
    route_round_trips tcp{{"10.0.0.2", "a<b&c", "TCP"}, {0, 500000, 1000000}, {40000, 41000, 2040000}, 2, 1, 4};
    route_round_trips lost{{"10.0.0.3", "hop", "UDP"}, {}, {}, 0, 0, 3};
    std::string svg = plot_svg({tcp, lost});
    EXPECT_TRUE(svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"960\" height=\"600\""))
        << svg.substr(0, 120);
    EXPECT_TRUE(svg.ends_with("</svg>\n"));
    for (const char *outside : {"<script", "href", "url(", "<image", "@import", "<foreignObject"}) {
        EXPECT_EQ(svg.find(outside), std::string::npos) << outside;
    }
    EXPECT_NE(svg.find(">10.0.0.2 via a&lt;b&amp;c (TCP): 2 echoed, 1 waited out, 4 unreachable</text>"),
              std::string::npos);
    EXPECT_NE(svg.find(">10.0.0.3 via hop (UDP): 0 echoed, 0 waited out, 3 unreachable</text>"),
              std::string::npos);
    EXPECT_NE(svg.find(">no timed round trips</text>"), std::string::npos);
    EXPECT_EQ(occurrences(svg, "<circle "), 3u);
    for (const char *axis : {"time since the run began (s)", "round-trip time (ms)", "round trips"}) {
        EXPECT_NE(svg.find(axis), std::string::npos) << axis;
    }
}

}  // namespace
