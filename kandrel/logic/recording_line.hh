// One line of a recording (kandrel-run --record): what one round trip did,
// as a JSON object of fixed keys in a fixed order, e.g.
// {"t_us":1234,"pid":42,"to":"beta","hop":"10.88.0.12","protocol":"UDP","bytes":64,"rtt_us":40123,"outcome":"echoed"}
#pragma once

#include <cstddef>
#include <cstdint>

#include "route_line.hh"

enum class trip_outcome { echoed, waited_out, unreachable };

struct recorded_trip {
    std::uint64_t t_us = 0;  // since the run began
    long pid = 0;
    char to[full_host_word_size] = {};  // the route's words as the route file writes them
    char hop[full_host_word_size] = {};
    char protocol[protocol_word_size] = {};
    std::uint64_t bytes = 0;
    std::uint64_t rtt_us = 0;
    trip_outcome outcome = trip_outcome::echoed;
};

// The longest line format_recording_line writes: every word escaped at its
// longest, and the numbers.
constexpr std::size_t recording_line_size = 3 * 6 * full_host_word_size + 256;

// Writes the line of trip, newline included, into out (at least
// recording_line_size bytes); returns its length.
std::size_t format_recording_line(const recorded_trip &trip, char *out);

// Reads a line (without its newline) written by format_recording_line;
// false for anything else.
bool parse_recording_line(const char *line, std::size_t length, recorded_trip &trip);
