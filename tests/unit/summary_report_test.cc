// The summary text: what the file held, the statistics, the histogram bars;
// for a recording, each route's outcomes and times to the microsecond.
#include "summary_report.hh"

#include <gtest/gtest.h>

namespace {

using launcher::read_timing_records;
using launcher::summary_report;

TEST(SummaryReport, TimelogSummaryLaidOutInFull)
{
    auto records = read_timing_records("32 bytes 40 ms\n32 bytes 40 ms\n32 bytes 42 ms\n"
                                       "32 bytes 40 ms\n");
    EXPECT_EQ(summary_report("timelog", records),
              "timelog: 4 timelog records\n"
              "  count   4\n"
              "  min     40 ms\n"
              "  median  40 ms\n"
              "  95th    42 ms\n"
              "  max     42 ms\n"
              "\n"
              "  40 ms | ######################################## 3\n"
              "  41 ms | 0\n"
              "  42 ms | ############# 1\n");
}

TEST(SummaryReport, NamesBothKindsAndSkippedLines)
{
    auto records = read_timing_records("srv\t5. ms\n8 bytes 6 ms\nnoise\n");
    std::string report = summary_report("mixed", records);
    EXPECT_EQ(report.substr(0, report.find('\n')),
              "mixed: 1 timelog records and 1 tavik.time lines, 1 other lines skipped");
}

TEST(SummaryReport, RareBinStillShowsAMark)
{
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += "1 bytes 40 ms\n";
    }
    text += "1 bytes 41 ms\n";
    std::string report = summary_report("t", read_timing_records(text));
    EXPECT_NE(report.find("  41 ms | # 1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  40 ms | " + std::string(40, '#') + " 200\n"), std::string::npos);
}

TEST(SummaryReport, WideBinsShowTheirRangeAligned)
{
    auto records = read_timing_records("h\t3. ms\nh\t97. ms\nh\t100. ms\n");
    std::string report = summary_report("tavik.time", records);
    EXPECT_NE(report.find("\n      0-9 ms | #"), std::string::npos) << report;
    EXPECT_NE(report.find("\n    90-99 ms | #"), std::string::npos) << report;
    EXPECT_NE(report.find("\n  100-109 ms | #"), std::string::npos) << report;
}

TEST(SummaryReport, RecordingSummarisedRouteByRouteToTheMicrosecond)
{
    auto line = [](const char *to, long rtt_us, const char *outcome) {
        return std::string(R"({"t_us":5,"pid":9,"to":")") + to +
               R"(","hop":"hop1","protocol":"TCP","bytes":64,"rtt_us":)" + std::to_string(rtt_us) +
               R"(,"outcome":")" + outcome + "\"}\n";
    };
    auto recorded = launcher::read_recording(
        line("10.0.0.2", 40123, "echoed") + line("10.0.0.2", 40000, "echoed") +
        line("10.0.0.3", 2, "unreachable") + line("10.0.0.2", 40999, "waited_out"));
    ASSERT_EQ(recorded.error_line, 0u) << recorded.error;
    EXPECT_EQ(launcher::recording_report("run.rec", launcher::round_trips_by_route(recorded.records)),
              "run.rec: 4 recorded round trips on 2 routes\n"
              "\n"
              "10.0.0.2 via hop1 (TCP): 2 echoed, 1 waited out, 0 unreachable\n"
              "  count   3\n"
              "  min     40 ms\n"
              "  median  40.123 ms\n"
              "  95th    40.999 ms\n"
              "  max     40.999 ms\n"
              "\n"
              "      40-40.099 ms | ######################################## 1\n"
              "  40.100-40.199 ms | ######################################## 1\n"
              "  40.200-40.299 ms | 0\n"
              "  40.300-40.399 ms | 0\n"
              "  40.400-40.499 ms | 0\n"
              "  40.500-40.599 ms | 0\n"
              "  40.600-40.699 ms | 0\n"
              "  40.700-40.799 ms | 0\n"
              "  40.800-40.899 ms | 0\n"
              "  40.900-40.999 ms | ######################################## 1\n"
              "\n"
              "10.0.0.3 via hop1 (TCP): 0 echoed, 0 waited out, 1 unreachable\n");
}

}  // namespace
