// The system side of --replay: reads the recording and this host's routes
// before anything starts, and says why they cannot be replayed.
#pragma once

#include <cstddef>
#include <string>

namespace launcher {

// A recording larger than this is refused rather than read.
constexpr std::size_t largest_recording = 64u << 20;

// Why the recording at `recording_file` cannot replay the routes of this
// host in the route file `route_file` (empty: no routes), or "" when it can.
std::string replay_refusal(const std::string &recording_file, const std::string &route_file);

}  // namespace launcher
