// Order statistics and a histogram of round-trip times.
#pragma once

#include <cstddef>
#include <vector>

namespace launcher {

struct timing_stats {
    std::size_t count = 0;
    long min = 0;
    long median = 0;
    long p95 = 0;
    long max = 0;
};

// The nearest-rank percentile of sorted, non-empty values: the smallest value
// that at least `percent` per cent of the values do not exceed. It is always
// one of the values, so whole milliseconds stay whole.
long nearest_rank(const std::vector<long> &sorted, int percent);

// Count, minimum, median (nearest-rank 50th), 95th percentile and maximum of
// non-empty values in any order.
timing_stats summarise(std::vector<long> values);

struct histogram_bin {
    long low = 0;   // first value of the bin
    long high = 0;  // last value of the bin
    std::size_t count = 0;
};

// Equal-width bins from the bin holding the minimum to the one holding the
// maximum, empty ones included. The width is the smallest of 1, 2, 5, 10,
// 20, 50 ... milliseconds that needs at most max_bins bins; bins start at
// multiples of it.
std::vector<histogram_bin> histogram(const std::vector<long> &values, std::size_t max_bins);

}  // namespace launcher
