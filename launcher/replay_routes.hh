// Which routes of this host a recording cannot replay: every TCP or UDP
// route the library would load needs recorded round trips of its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "recording_reader.hh"

namespace launcher {

// The TCP and UDP routes of `host` in route-file text: lines whose first
// word is the host name, whole, read as the library reads them with full
// coverage. Lines that are no route are skipped, as the library skips them.
std::vector<route_key> routes_of_host(std::string_view route_text, const std::string &host);

// The first route that has no echoed or waited-out record, or none.
const route_key *route_without_round_trips(const std::vector<route_key> &routes,
                                           const std::vector<round_trip_record> &records);

}  // namespace launcher
