// Lays out the statistics and histograms of a timelog, a tavik.time file or
// a recording.
#include "summary_report.hh"

#include <algorithm>
#include <cstdio>
#include <functional>

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

// How one time is written: whole milliseconds as logged, or microseconds
// (never negative) as milliseconds with three decimals, none when whole.
using time_text = std::function<std::string(long)>;

std::string microseconds_as_ms(long us)
{
    char text[32];
    std::snprintf(text, sizeof text, us % 1000 == 0 ? "%ld" : "%ld.%03ld", us / 1000, us % 1000);
    return text;
}

std::string bin_label(const histogram_bin &bin, const time_text &shown)
{
    return bin.low == bin.high ? shown(bin.low) : shown(bin.low) + "-" + shown(bin.high);
}

// Bars scale to the fullest bin; a bin with any time in it shows at least
// one mark, so a rare slow round trip is never hidden.
std::string bar(std::size_t count, std::size_t fullest)
{
    std::size_t length = count * histogram_bar_width / fullest;
    return std::string(count > 0 ? std::max<std::size_t>(length, 1) : 0, '#');
}

std::string histogram_lines(const std::vector<long> &values, const time_text &shown)
{
    auto bins = histogram(values, histogram_max_bins);
    std::size_t fullest = 0;
    std::size_t label_width = 0;
    for (const auto &bin : bins) {
        fullest = std::max(fullest, bin.count);
        label_width = std::max(label_width, bin_label(bin, shown).size());
    }
    std::string text;
    for (const auto &bin : bins) {
        std::string label = bin_label(bin, shown);
        text += "  " + std::string(label_width - label.size(), ' ') + label + " ms | " +
                bar(bin.count, fullest) + (bin.count > 0 ? " " : "") + std::to_string(bin.count) + "\n";
    }
    return text;
}

// The statistics, a blank line and the histogram of non-empty times.
std::string statistics(const std::vector<long> &values, const time_text &shown)
{
    timing_stats stats = summarise(values);
    return "  count   " + std::to_string(stats.count) + "\n" + "  min     " + shown(stats.min) + " ms\n" +
           "  median  " + shown(stats.median) + " ms\n" + "  95th    " + shown(stats.p95) + " ms\n" +
           "  max     " + shown(stats.max) + " ms\n" + "\n" + histogram_lines(values, shown);
}

std::string outcome_counts(const route_round_trips &route)
{
    return std::to_string(route.echoed) + " echoed, " + std::to_string(route.waited_out) + " waited out, " +
           std::to_string(route.unreachable) + " unreachable";
}

}  // namespace

std::string summary_report(const std::string &file_name, const timing_records &records)
{
    return file_name + ": " + what_the_file_held(records) + "\n" +
           statistics(records.ms, [](long ms) { return std::to_string(ms); });
}

std::string recording_report(const std::string &file_name, const std::vector<route_round_trips> &routes)
{
    std::size_t round_trips = 0;
    for (const auto &route : routes) {
        round_trips += route.echoed + route.waited_out + route.unreachable;
    }
    std::string text = file_name + ": " + std::to_string(round_trips) + " recorded round trips on " +
                       std::to_string(routes.size()) + " routes\n";
    for (const auto &route : routes) {
        text += "\n" + route_name(route.route) + ": " + outcome_counts(route) + "\n";
        if (!route.rtt_us.empty()) {
            text += statistics(route.rtt_us, microseconds_as_ms);
        }
    }
    return text;
}

}  // namespace launcher
