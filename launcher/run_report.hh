// The report kandrel-run prints when the program ends: per route, the sends
// delayed and their round trips, the sends not delayed and why; the
// processes seen; or that no send went to a routed destination.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "recording_reader.hh"

namespace launcher {

struct run_outcome {
    std::vector<route_key> routes;                      // this host's routes, in file order
    std::vector<round_trip_record> trips;               // every round trip of the run
    std::map<std::string, std::uint64_t> bytes_around;  // "TO HOP PROTOCOL" -> bytes
    std::size_t processes = 0;
    std::map<std::string, std::string> unseen;  // path -> why an exec'd program ran without the library
};

// The report's lines, each starting "kandrel-run: ".
std::string run_report(const run_outcome &run);

// What --strict refuses, as the line that says so: a routed send not
// delayed, no routed send at all, or a program that ran without the library;
// "" when it refuses nothing.
std::string strict_refusal(const run_outcome &run);

// The key bytes_around files a route under.
std::string around_key(const route_key &route);

}  // namespace launcher
