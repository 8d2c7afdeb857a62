// Matches a host's routes against the round trips of a recording.
#include "replay_routes.hh"

#include <algorithm>

#include "route_line.hh"
#include "text_lines.hh"

namespace launcher {

std::vector<route_key> routes_of_host(std::string_view route_text, const std::string &host)
{
    std::vector<route_key> routes;
    for_each_line(route_text, [&](std::string_view text) {
        std::string line(text);
        route_words words;
        if (parse_route_line(line.c_str(), words, full_host_word_size) == route_line_status::ok &&
            words.from == host && route_protocol_of(words.protocol) != protocol_none) {
            routes.push_back({words.to, words.hop, words.protocol});
        }
        return true;
    });
    return routes;
}

const route_key *route_without_round_trips(const std::vector<route_key> &routes,
                                           const std::vector<round_trip_record> &records)
{
    auto replayable = [&](const route_key &route) {
        return std::any_of(records.begin(), records.end(), [&](const round_trip_record &r) {
            return r.outcome != trip_outcome::unreachable && r.to == route.to && r.hop == route.hop &&
                   r.protocol == route.protocol;
        });
    };
    auto missing = std::find_if_not(routes.begin(), routes.end(), replayable);
    return missing == routes.end() ? nullptr : &*missing;
}

}  // namespace launcher
