// A relayed direction's window and timing.
#include "relay_direction.hh"

#include <algorithm>

std::size_t relay_direction::room() const
{
    if (source_done) {
        return 0;
    }
    std::size_t by_window = window > in_flight ? window - in_flight : 0;
    std::size_t by_memory = direction_limit > held ? direction_limit - held : 0;
    return std::min({by_window, by_memory, read_piece});
}

void relay_direction::acknowledge(micros now)
{
    // Slow start: each acknowledged byte widens the window by one, so it
    // doubles each round trip.
    while (!unacknowledged.empty() && unacknowledged.front().at <= now) {
        in_flight -= unacknowledged.front().length;
        window = std::min(largest_window, window + unacknowledged.front().length);
        unacknowledged.pop_front();
    }
}

micros relay_direction::leaves_at(micros now, std::size_t length, std::size_t segment, micros round_trip)
{
    if (!holds_short_pieces || length >= segment) {
        return now;
    }
    if (now < short_held_until) {
        return short_held_until;  // joins the short piece already held
    }
    micros leaves = std::max(now, short_acknowledged_at);
    if (leaves > now) {
        short_held_until = leaves;
    }
    short_acknowledged_at = leaves + round_trip;
    return leaves;
}

namespace {

// A chunk read at now that leaves at leaves: delivered half a round trip
// later, and never before the chunks queued ahead of it.
held_chunk queued_chunk(const std::deque<held_chunk> &queue, std::uint64_t sequence, micros now,
                        micros leaves, micros round_trip)
{
    held_chunk chunk;
    chunk.sequence = sequence;
    chunk.read_at = now;
    chunk.leaves_at = leaves;
    chunk.release_at = leaves + round_trip / 2;
    if (!queue.empty()) {
        chunk.release_at = std::max(chunk.release_at, queue.back().release_at);
    }
    return chunk;
}

}  // namespace

held_chunk &relay_direction::take(std::vector<char> bytes, micros now, std::size_t segment, micros round_trip)
{
    micros leaves = leaves_at(now, bytes.size(), segment, round_trip);
    held_chunk chunk = queued_chunk(queue, next_sequence++, now, leaves, round_trip);
    held += bytes.size();
    in_flight += bytes.size();
    unacknowledged.push_back({chunk.release_at + round_trip / 2, bytes.size()});
    chunk.bytes = std::move(bytes);
    queue.push_back(std::move(chunk));
    return queue.back();
}

void relay_direction::take_end(held_chunk::kind what, micros now, micros round_trip)
{
    held_chunk end = queued_chunk(queue, next_sequence++, now, now, round_trip);
    end.what = what;
    source_done = true;
    queue.push_back(std::move(end));
}
