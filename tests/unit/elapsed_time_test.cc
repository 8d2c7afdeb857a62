// The elapsed-milliseconds rule: borrow before the division, truncation.
#include "elapsed_time.hh"

#include <gtest/gtest.h>

namespace {

long ms(long start_s, long start_us, long end_s, long end_us)
{
    return elapsed_ms_between(timeval{start_s, start_us}, timeval{end_s, end_us});
}

TEST(ElapsedTime, BorrowsFromSecondsBeforeDividing)
{
    EXPECT_EQ(ms(10, 999500, 11, 400), 0);
    EXPECT_EQ(ms(10, 999999, 11, 0), 0);
    EXPECT_EQ(ms(10, 500000, 12, 0), 1500);
}

TEST(ElapsedTime, TruncatesToWholeMilliseconds)
{
    EXPECT_EQ(ms(5, 0, 6, 2999), 1002);
    EXPECT_EQ(ms(5, 0, 5, 999), 0);
    EXPECT_EQ(ms(5, 0, 5, 1000), 1);
    EXPECT_EQ(ms(0, 0, 0, 0), 0);
}

TEST(ElapsedTime, TvsubLeavesTheDifferenceInOut)
{
    timeval out{11, 400};
    const timeval in{10, 999500};
    tvsub(&out, &in);
    EXPECT_EQ(out.tv_sec, 0);
    EXPECT_EQ(out.tv_usec, 900);
}

}  // namespace
