// The summary text: what the file held, the statistics, the histogram bars.
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

}  // namespace
