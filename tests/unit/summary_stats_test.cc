// Nearest-rank percentiles and histogram bins of round-trip times.
#include "summary_stats.hh"

#include <numeric>

#include <gtest/gtest.h>

namespace {

using launcher::histogram;
using launcher::histogram_bin;
using launcher::nearest_rank;
using launcher::summarise;

std::vector<long> one_to(long n)
{
    std::vector<long> values(static_cast<std::size_t>(n));
    std::iota(values.begin(), values.end(), 1);
    return values;
}

TEST(SummaryStats, NearestRankOfOneToHundredIsTheRankItself)
{
    auto values = one_to(100);
    EXPECT_EQ(nearest_rank(values, 50), 50);
    EXPECT_EQ(nearest_rank(values, 95), 95);
    EXPECT_EQ(nearest_rank(values, 100), 100);
    EXPECT_EQ(nearest_rank(values, 1), 1);
    EXPECT_EQ(nearest_rank(values, 0), 1);
}

TEST(SummaryStats, NearestRankRoundsTheRankUp)
{
    // 95% of 10 values is 9.5: the 10th value is the first that 95% do not exceed.
    EXPECT_EQ(nearest_rank(one_to(10), 95), 10);
    // The median of an even count is the lower middle value, never an average.
    EXPECT_EQ(nearest_rank({10, 20, 30, 40}, 50), 20);
    EXPECT_EQ(nearest_rank({10, 20, 30}, 50), 20);
}

TEST(SummaryStats, SummariseSortsFirst)
{
    auto stats = summarise({43, 40, 41, 40, 90, 40, 42});
    EXPECT_EQ(stats.count, 7u);
    EXPECT_EQ(stats.min, 40);
    EXPECT_EQ(stats.median, 41);
    EXPECT_EQ(stats.p95, 90);
    EXPECT_EQ(stats.max, 90);
}

TEST(SummaryStats, SingleValueIsEveryStatistic)
{
    auto stats = summarise({40});
    EXPECT_EQ(stats.count, 1u);
    EXPECT_EQ(stats.min, 40);
    EXPECT_EQ(stats.median, 40);
    EXPECT_EQ(stats.p95, 40);
    EXPECT_EQ(stats.max, 40);
}

TEST(SummaryStats, NarrowRangeGetsOneMillisecondBins)
{
    auto bins = histogram({40, 41, 41, 43}, 12);
    ASSERT_EQ(bins.size(), 4u);
    EXPECT_EQ(bins[0].low, 40);
    EXPECT_EQ(bins[0].high, 40);
    EXPECT_EQ(bins[0].count, 1u);
    EXPECT_EQ(bins[1].count, 2u);
    EXPECT_EQ(bins[2].count, 0u);  // empty bins stay, so the shape is true
    EXPECT_EQ(bins[3].low, 43);
    EXPECT_EQ(bins[3].count, 1u);
}

TEST(SummaryStats, WideRangeGetsRoundWidthsStartingAtMultiples)
{
    auto bins = histogram({3, 40, 41, 97}, 12);
    // 1 and 2 ms would need more than 12 bins from 3 to 97; 10 ms needs 10.
    ASSERT_EQ(bins.size(), 10u);
    EXPECT_EQ(bins.front().low, 0);
    EXPECT_EQ(bins.front().high, 9);
    EXPECT_EQ(bins[4].low, 40);
    EXPECT_EQ(bins[4].count, 2u);
    EXPECT_EQ(bins.back().low, 90);
    EXPECT_EQ(bins.back().high, 99);
    std::size_t total = 0;
    for (const auto &bin : bins) {
        total += bin.count;
    }
    EXPECT_EQ(total, 4u);
}

TEST(SummaryStats, WidthStepsThroughOneTwoFive)
{
    EXPECT_EQ(histogram({0, 20}, 12).front().high, 1);   // 2 ms wide, 11 bins
    EXPECT_EQ(histogram({0, 50}, 12).front().high, 4);   // 5 ms wide, 11 bins
    EXPECT_EQ(histogram({0, 1000}, 12).front().high, 99);  // 100 ms wide, 11 bins
}

TEST(SummaryStats, NegativeTimesLandInTheirOwnBins)
{
    auto bins = histogram({-7, 0, 5}, 12);
    ASSERT_FALSE(bins.empty());
    EXPECT_LE(bins.front().low, -7);
    EXPECT_GE(bins.front().high, -7);
    EXPECT_EQ(bins.front().count, 1u);
    EXPECT_LE(bins.back().low, 5);
    EXPECT_GE(bins.back().high, 5);
}

TEST(SummaryStats, AllEqualValuesMakeOneBin)
{
    auto bins = histogram({40, 40, 40}, 12);
    ASSERT_EQ(bins.size(), 1u);
    EXPECT_EQ(bins[0].count, 3u);
}

}  // namespace
