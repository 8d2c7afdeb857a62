// The text that `kandrel-run --summary` prints for one file.
#pragma once

#include <string>

#include "recording_reader.hh"
#include "summary_records.hh"

namespace launcher {

// Width of the longest histogram bar, in characters.
constexpr std::size_t histogram_bar_width = 40;
constexpr std::size_t histogram_max_bins = 12;

// The summary of records that hold at least one time: what the file held,
// the statistics, then one histogram line per bin.
std::string summary_report(const std::string &file_name, const timing_records &records);

// The summary of a recording: per route, how many round trips had each
// outcome, then the statistics and histogram of the timed ones, in
// milliseconds to the microsecond.
std::string recording_report(const std::string &file_name, const std::vector<route_round_trips> &routes);

}  // namespace launcher
