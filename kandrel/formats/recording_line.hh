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

// What is wrong with a line that is not a recording line: the first flaw
// found, with where it is (1-based column) and which key it concerns.
enum class recording_flaw {
    none,
    truncated,     // the line ends inside the record
    expected_key,  // field holds the text that should have come next
    not_a_number,  // no digits where a whole number belongs
    leading_zero,
    beyond_64_bits,
    out_of_range,   // value is beyond the key's largest (recording_limit)
    control_byte,   // an unescaped byte below 0x20 inside a word
    bad_escape,     // an escape other than \" \\ or \u00XX of a control byte
    word_too_long,  // beyond full_host_word_size - 1 characters
    empty_word,
    text_after,        // more text after the closing brace
    unknown_protocol,  // neither TCP nor UDP
    unknown_outcome,   // not echoed, waited_out or unreachable
};

struct recording_line_reading {
    recording_flaw flaw = recording_flaw::none;
    std::size_t column = 0;
    const char *field = "";   // the key, or with expected_key the text expected
    std::uint64_t value = 0;  // with out_of_range
};

// The largest value a number key may hold: beyond it a line is a damaged
// file, not a measurement (a run of a year, the kernel's largest process
// id, the largest send, a round trip of an hour).
std::uint64_t recording_limit(const char *key);

// Reads a line (without its newline) in exactly the shape
// format_recording_line writes, with every number in its range; the first
// flaw otherwise.
recording_line_reading read_recording_line(const char *line, std::size_t length, recorded_trip &trip);

inline bool parse_recording_line(const char *line, std::size_t length, recorded_trip &trip)
{
    return read_recording_line(line, length, trip).flaw == recording_flaw::none;
}
