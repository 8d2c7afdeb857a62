// The launcher's reader of a recording of a run's round trips (kandrel-run
// --record): one JSON line per round trip, read by the library's own
// recording-line reader (recording_line.hh) with the reason for each
// refusal, so that a damaged file is refused before anything replays it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "recording_line.hh"

namespace launcher {

struct round_trip_record {
    std::uint64_t t_us = 0;  // from the run's start to the end of the round trip
    std::uint64_t pid = 0;
    std::string to;  // the route file's words, as written there
    std::string hop;
    std::string protocol;  // "TCP" or "UDP"
    std::uint64_t bytes = 0;
    std::uint64_t rtt_us = 0;
    trip_outcome outcome = trip_outcome::echoed;
};

// Whether a file's text looks like a recording rather than a timelog.
bool looks_like_recording(std::string_view text);

// Reads one line (without its newline). Returns false with the reason in
// `error` when the line is not exactly a recording line.
bool parse_recording_line(std::string_view line, round_trip_record &record, std::string &error);

struct recording {
    std::vector<round_trip_record> records;  // in file order
    std::size_t error_line = 0;              // 1-based; 0 when every line was read
    std::string error;
};

// Every line of a recording; stops at the first line that is not one.
recording read_recording(std::string_view text);

// A route as the recording and the route file name it.
struct route_key {
    std::string to;
    std::string hop;
    std::string protocol;
    bool operator==(const route_key &) const = default;
};

// The round trips of one route: the timed ones (echoed or waited out) for
// the statistics and the plot, and how each outcome counted.
struct route_round_trips {
    route_key route;
    std::vector<long> t_us;    // of the timed round trips, in file order
    std::vector<long> rtt_us;  // likewise
    std::size_t echoed = 0;
    std::size_t waited_out = 0;
    std::size_t unreachable = 0;
};

// The records grouped by route, routes in order of first appearance.
std::vector<route_round_trips> round_trips_by_route(const std::vector<round_trip_record> &records);

// "TO via HOP (PROTOCOL)", how messages and titles name a route.
std::string route_name(const route_key &route);

}  // namespace launcher
