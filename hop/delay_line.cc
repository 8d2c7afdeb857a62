// When each echo leaves: its own arrival plus a wait, in order within a flow.
#include "delay_line.hh"

#include <algorithm>

#include "recording_line.hh"

namespace hop {

wait_source::wait_source(std::uint64_t delay_us, std::uint64_t jitter_us, std::uint64_t seed)
    : delay_us_(delay_us), jitter_us_(jitter_us), random_(seed)
{
}

wait_source::wait_source(std::vector<std::uint64_t> recorded_us) : recorded_us_(std::move(recorded_us)) {}

std::chrono::microseconds wait_source::next()
{
    if (!recorded_us_.empty()) {
        const std::uint64_t wait = recorded_us_[next_recorded_];
        next_recorded_ = (next_recorded_ + 1) % recorded_us_.size();
        return std::chrono::microseconds(wait);
    }
    if (jitter_us_ == 0) {
        return std::chrono::microseconds(delay_us_);
    }
    // Uniform over delay ± jitter; a jitter larger than the delay cannot make
    // an echo leave before its data came.
    std::uniform_int_distribution<std::int64_t> offset(-static_cast<std::int64_t>(jitter_us_),
                                                       static_cast<std::int64_t>(jitter_us_));
    const std::int64_t wait = static_cast<std::int64_t>(delay_us_) + offset(random_);
    return std::chrono::microseconds(std::max<std::int64_t>(wait, 0));
}

hop_clock::time_point flow_order::due(hop_clock::time_point arrival, std::chrono::microseconds wait)
{
    last_due_ = std::max(arrival + wait, last_due_);
    return last_due_;
}

bool read_recorded_waits(std::string_view recording, std::string_view to,
                         std::vector<std::uint64_t> &waits_us, std::string &error)
{
    waits_us.clear();
    std::size_t line_number = 0;
    while (!recording.empty()) {
        const std::size_t end = std::min(recording.find('\n'), recording.size());
        const std::string_view line = recording.substr(0, end);
        recording.remove_prefix(std::min(end + 1, recording.size()));
        ++line_number;
        if (line.empty()) {
            continue;
        }
        recorded_trip trip;
        if (!parse_recording_line(line.data(), line.size(), trip)) {
            error = "line " + std::to_string(line_number) + " is not a recorded round trip";
            return false;
        }
        // Round trips that waited out or never reached their hop say nothing
        // about the path's delay.
        if (trip.outcome == trip_outcome::echoed && (to.empty() || to == trip.to)) {
            waits_us.push_back(trip.rtt_us);
        }
    }
    if (waits_us.empty()) {
        error = to.empty() ? "no echoed round trip in the recording"
                           : "no echoed round trip to " + std::string(to) + " in the recording";
        return false;
    }
    return true;
}

}  // namespace hop
