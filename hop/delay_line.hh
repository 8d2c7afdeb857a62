// When each echo leaves: its own arrival plus a wait, never before an earlier
// echo of the same flow. Back-to-back data is not queued behind earlier
// waits: ten pieces that arrive together leave together, one wait later.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace hop {

using hop_clock = std::chrono::steady_clock;

// How long each echo waits: a fixed delay give or take a uniform jitter, or
// the waits of a recorded run in turn, starting over at its end.
class wait_source {
public:
    wait_source(std::uint64_t delay_us, std::uint64_t jitter_us, std::uint64_t seed);
    explicit wait_source(std::vector<std::uint64_t> recorded_us);

    std::chrono::microseconds next();

private:
    std::uint64_t delay_us_ = 0;
    std::uint64_t jitter_us_ = 0;
    std::mt19937_64 random_;
    std::vector<std::uint64_t> recorded_us_;
    std::size_t next_recorded_ = 0;
};

// The echoes of one flow (a TCP connection, a UDP peer) keep their order:
// jitter may stretch the gap between two of them, never swap them.
class flow_order {
public:
    hop_clock::time_point due(hop_clock::time_point arrival, std::chrono::microseconds wait);
    hop_clock::time_point last_due() const { return last_due_; }

private:
    hop_clock::time_point last_due_{};
};

// The round-trip times of the echoed round trips of a recording (JSON lines
// of kandrel-run --record), in order; only those to the destination word
// `to` unless it is empty. False, with the line named in `error`, for a
// damaged line or a recording with no such round trip.
bool read_recorded_waits(std::string_view recording, std::string_view to,
                         std::vector<std::uint64_t> &waits_us, std::string &error);

}  // namespace hop
