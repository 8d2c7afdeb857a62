// Lays out the statistics and histogram of a timelog or tavik.time file.
#include "summary_report.hh"

#include <algorithm>
#include <cstdio>

#include "summary_stats.hh"

namespace launcher {
namespace {

std::string what_the_file_held(const timing_records &records)
{
    std::string text;
    if (records.timelog_lines > 0) {
        text += std::to_string(records.timelog_lines) + " timelog records";
    }
    if (records.tavik_time_lines > 0) {
        text += text.empty() ? "" : " and ";
        text += std::to_string(records.tavik_time_lines) + " tavik.time lines";
    }
    if (records.other_lines > 0) {
        text += ", " + std::to_string(records.other_lines) + " other lines skipped";
    }
    return text;
}

std::string bin_label(const histogram_bin &bin)
{
    return bin.low == bin.high ? std::to_string(bin.low)
                               : std::to_string(bin.low) + "-" + std::to_string(bin.high);
}

// Bars scale to the fullest bin; a bin with any time in it shows at least
// one mark, so a rare slow round trip is never hidden.
std::string bar(std::size_t count, std::size_t fullest)
{
    std::size_t length = count * histogram_bar_width / fullest;
    return std::string(count > 0 ? std::max<std::size_t>(length, 1) : 0, '#');
}

std::string histogram_lines(const std::vector<long> &values)
{
    auto bins = histogram(values, histogram_max_bins);
    std::size_t fullest = 0;
    std::size_t label_width = 0;
    for (const auto &bin : bins) {
        fullest = std::max(fullest, bin.count);
        label_width = std::max(label_width, bin_label(bin).size());
    }
    std::string text;
    for (const auto &bin : bins) {
        std::string label = bin_label(bin);
        text += "  " + std::string(label_width - label.size(), ' ') + label + " ms | " +
                bar(bin.count, fullest) + (bin.count > 0 ? " " : "") + std::to_string(bin.count) +
                "\n";
    }
    return text;
}

}  // namespace

std::string summary_report(const std::string &file_name, const timing_records &records)
{
    timing_stats stats = summarise(records.ms);
    char lines[256];
    std::snprintf(lines, sizeof lines,
                  "  count   %zu\n"
                  "  min     %ld ms\n"
                  "  median  %ld ms\n"
                  "  95th    %ld ms\n"
                  "  max     %ld ms\n",
                  stats.count, stats.min, stats.median, stats.p95, stats.max);
    return file_name + ": " + what_the_file_held(records) + "\n" + lines + "\n" +
           histogram_lines(records.ms);
}

}  // namespace launcher
