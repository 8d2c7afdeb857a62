// Reads recording lines with the one recording-line reader, saying why a
// line is refused, and groups their round trips by route.
#include "recording_reader.hh"

#include <algorithm>

#include "text_lines.hh"

namespace launcher {
namespace {

// The words out_of_range's messages give each key's largest value.
std::string limit_text(std::string_view key)
{
    if (key == "t_us") {
        return "a year";
    }
    if (key == "pid") {
        return "the largest process id";
    }
    return key == "bytes" ? "the largest send" : "one hour";
}

// The message a flaw of the recording-line reader is shown with.
std::string flaw_text(const recording_line_reading &reading)
{
    std::string key = reading.field;
    std::string column = " at column " + std::to_string(reading.column);
    switch (reading.flaw) {
    case recording_flaw::none:
        return "";
    case recording_flaw::truncated:
        return "truncated line";
    case recording_flaw::expected_key:
        return "expected " + key + column;
    case recording_flaw::not_a_number:
        return key + " is not a whole number" + column;
    case recording_flaw::leading_zero:
        return key + " has a leading zero" + column;
    case recording_flaw::beyond_64_bits:
        return key + " is beyond 64 bits";
    case recording_flaw::out_of_range:
        return key + " " + std::to_string(reading.value) + " is beyond " + limit_text(key);
    case recording_flaw::control_byte:
        return key + " holds an unescaped control byte" + column;
    case recording_flaw::bad_escape:
        return key + R"( holds an escape other than \", \\ or \u00XX of a control byte)" + column;
    case recording_flaw::word_too_long:
        return key + " is longer than " + std::to_string(full_host_word_size - 1) + " characters";
    case recording_flaw::empty_word:
        return key + " is empty";
    case recording_flaw::text_after:
        return "text after the record" + column;
    case recording_flaw::unknown_protocol:
        return "protocol is neither TCP nor UDP";
    case recording_flaw::unknown_outcome:
        return "outcome is not echoed, waited_out or unreachable";
    }
    return "";
}

}  // namespace

bool looks_like_recording(std::string_view text)
{
    auto first = text.find_first_not_of("\n");
    return first != std::string_view::npos && text[first] == '{';
}

bool parse_recording_line(std::string_view line, round_trip_record &record, std::string &error)
{
    recorded_trip trip;
    recording_line_reading reading = read_recording_line(line.data(), line.size(), trip);
    if (reading.flaw != recording_flaw::none) {
        error = flaw_text(reading);
        return false;
    }
    record.t_us = trip.t_us;
    record.pid = static_cast<std::uint64_t>(trip.pid);
    record.to = trip.to;
    record.hop = trip.hop;
    record.protocol = trip.protocol;
    record.bytes = trip.bytes;
    record.rtt_us = trip.rtt_us;
    record.outcome = trip.outcome;
    return true;
}

recording read_recording(std::string_view text)
{
    recording result;
    std::size_t number = 0;
    for_each_line(text, [&](std::string_view line) {
        ++number;
        round_trip_record record;
        if (line.empty()) {
            result.error = "empty line";
        } else if (parse_recording_line(line, record, result.error)) {
            result.records.push_back(std::move(record));
            return true;
        }
        result.error_line = number;
        return false;
    });
    return result;
}

std::vector<route_round_trips> round_trips_by_route(const std::vector<round_trip_record> &records)
{
    std::vector<route_round_trips> routes;
    for (const auto &record : records) {
        route_key key{record.to, record.hop, record.protocol};
        auto found = std::find_if(routes.begin(), routes.end(),
                                  [&](const route_round_trips &r) { return r.route == key; });
        if (found == routes.end()) {
            found = routes.insert(routes.end(), route_round_trips{key, {}, {}, 0, 0, 0});
        }
        switch (record.outcome) {
        case trip_outcome::echoed:
            ++found->echoed;
            break;
        case trip_outcome::waited_out:
            ++found->waited_out;
            break;
        case trip_outcome::unreachable:
            ++found->unreachable;
            continue;
        }
        found->t_us.push_back(static_cast<long>(record.t_us));
        found->rtt_us.push_back(static_cast<long>(record.rtt_us));
    }
    return routes;
}

std::string route_name(const route_key &route)
{
    return route.to + " via " + route.hop + " (" + route.protocol + ")";
}

}  // namespace launcher
