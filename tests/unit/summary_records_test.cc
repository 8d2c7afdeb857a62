// Reading times out of timelog and tavik.time text: exact line shapes,
// mixed files, and lines that belong to neither.
#include "summary_records.hh"

#include <gtest/gtest.h>

namespace {

using launcher::read_timing_records;
using launcher::tavik_time_ms;
using launcher::timelog_ms;

TEST(SummaryRecords, TimelogRecordGivesItsMilliseconds)
{
    EXPECT_EQ(timelog_ms("32 bytes 40 ms"), 40);
    EXPECT_EQ(timelog_ms("0 bytes 0 ms"), 0);
    EXPECT_EQ(timelog_ms("2048 bytes 1002 ms"), 1002);
    // Byte counts are 64-bit: a send beyond 2 GiB is still a record.
    EXPECT_EQ(timelog_ms("3000000000 bytes 40 ms"), 40);
    // A clock step can make "%d" print a negative time; it is still a record.
    EXPECT_EQ(timelog_ms("10 bytes -3 ms"), -3);
}

TEST(SummaryRecords, TimelogRejectsOtherShapes)
{
    EXPECT_FALSE(timelog_ms("32 bytes 40ms"));
    EXPECT_FALSE(timelog_ms("32 bytes  40 ms"));
    EXPECT_FALSE(timelog_ms("x bytes 40 ms"));
    EXPECT_FALSE(timelog_ms("32 bytes 4x0 ms"));
    EXPECT_FALSE(timelog_ms("32 byte 40 ms"));
    EXPECT_FALSE(timelog_ms("bytes 40 ms"));
    EXPECT_FALSE(timelog_ms("32 bytes 99999999999999999999 ms"));
}

TEST(SummaryRecords, TavikTimeLineGivesItsMilliseconds)
{
    EXPECT_EQ(tavik_time_ms("tavik-server\t40. ms"), 40);
    EXPECT_EQ(tavik_time_ms("10.77.1.2\t0. ms"), 0);
    // The destination is written as typed, tabs and all: the time follows the last tab.
    EXPECT_EQ(tavik_time_ms("odd\tname\t7. ms"), 7);
    EXPECT_EQ(tavik_time_ms("\t3. ms"), 3);
}

TEST(SummaryRecords, TavikTimeRejectsOtherShapes)
{
    EXPECT_FALSE(tavik_time_ms("server 40. ms"));
    EXPECT_FALSE(tavik_time_ms("server\t40 ms"));
    EXPECT_FALSE(tavik_time_ms("server\t40. ms "));
    EXPECT_FALSE(tavik_time_ms("server\t. ms"));
    EXPECT_FALSE(tavik_time_ms("TIME=40. ms"));
}

TEST(SummaryRecords, ReadsEveryLineInOrderAndCountsEachKind)
{
    auto records = read_timing_records("32 bytes 41 ms\n32 bytes 40 ms\nhost\t43. ms\n");
    EXPECT_EQ(records.ms, (std::vector<long>{41, 40, 43}));
    EXPECT_EQ(records.timelog_lines, 2u);
    EXPECT_EQ(records.tavik_time_lines, 1u);
    EXPECT_EQ(records.other_lines, 0u);
}

TEST(SummaryRecords, SkipsForeignLinesButNotBlankOnes)
{
    auto records = read_timing_records("\nbuf=aaaa\n32 bytes 40 ms\n\nTIME=40. ms\n");
    EXPECT_EQ(records.ms, (std::vector<long>{40}));
    EXPECT_EQ(records.other_lines, 2u);
}

TEST(SummaryRecords, LastLineNeedsNoNewline)
{
    auto records = read_timing_records("32 bytes 40 ms\n1 bytes 5 ms");
    EXPECT_EQ(records.ms, (std::vector<long>{40, 5}));
}

TEST(SummaryRecords, EmptyTextHasNoRecords)
{
    auto records = read_timing_records("");
    EXPECT_TRUE(records.ms.empty());
    EXPECT_EQ(records.other_lines, 0u);
}

}  // namespace
