// Percentiles and histogram bins for the summary of a run's times.
#include "summary_stats.hh"

#include <algorithm>

namespace launcher {
namespace {

// Rounds towards minus infinity, unlike `/`, so negative times bin correctly.
long floor_div(long value, long divisor)
{
    long quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

std::size_t bins_needed(long min, long max, long width)
{
    return static_cast<std::size_t>(floor_div(max, width) - floor_div(min, width) + 1);
}

long bin_width(long min, long max, std::size_t max_bins)
{
    constexpr long steps[] = {1, 2, 5};
    for (long scale = 1;; scale *= 10) {
        for (long step : steps) {
            if (bins_needed(min, max, step * scale) <= max_bins) {
                return step * scale;
            }
        }
    }
}

}  // namespace

long nearest_rank(const std::vector<long> &sorted, int percent)
{
    std::size_t rank = (static_cast<std::size_t>(percent) * sorted.size() + 99) / 100;
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

timing_stats summarise(std::vector<long> values)
{
    std::sort(values.begin(), values.end());
    return timing_stats{values.size(), values.front(), nearest_rank(values, 50), nearest_rank(values, 95),
                        values.back()};
}

std::vector<histogram_bin> histogram(const std::vector<long> &values, std::size_t max_bins)
{
    if (values.empty()) {
        return {};
    }
    auto [min_it, max_it] = std::minmax_element(values.begin(), values.end());
    long width = bin_width(*min_it, *max_it, std::max<std::size_t>(max_bins, 1));
    long first = floor_div(*min_it, width);
    std::vector<histogram_bin> bins(bins_needed(*min_it, *max_it, width));
    for (std::size_t i = 0; i < bins.size(); ++i) {
        bins[i].low = (first + static_cast<long>(i)) * width;
        bins[i].high = bins[i].low + width - 1;
    }
    for (long value : values) {
        ++bins[static_cast<std::size_t>(floor_div(value, width) - first)].count;
    }
    return bins;
}

}  // namespace launcher
