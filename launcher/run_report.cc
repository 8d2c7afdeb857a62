// Counting a run's round trips per route for its report.
#include "run_report.hh"

#include <algorithm>
#include <cstdio>

#include "summary_stats.hh"

namespace launcher {
namespace {

struct route_tally {
    std::vector<long> delayed_us;  // echoed round trips
    std::size_t unreachable = 0;
    std::size_t waited_out = 0;
    std::uint64_t bytes_around = 0;
};

// Every route the run knows of, this host's first, each with its tally.
std::vector<std::pair<route_key, route_tally>> tallies(const run_outcome &run)
{
    std::vector<std::pair<route_key, route_tally>> routes;
    auto entry = [&](const route_key &key) -> route_tally & {
        auto found =
            std::find_if(routes.begin(), routes.end(), [&](const auto &r) { return r.first == key; });
        return found != routes.end() ? found->second : routes.emplace_back(key, route_tally{}).second;
    };
    for (const auto &route : run.routes) {
        entry(route);
    }
    for (const auto &trip : run.trips) {
        route_tally &tally = entry({trip.to, trip.hop, trip.protocol});
        switch (trip.outcome) {
        case trip_outcome::echoed:
            tally.delayed_us.push_back(static_cast<long>(trip.rtt_us));
            break;
        case trip_outcome::waited_out:
            ++tally.waited_out;
            break;
        case trip_outcome::unreachable:
            ++tally.unreachable;
            break;
        }
    }
    for (auto &[key, tally] : routes) {
        if (auto found = run.bytes_around.find(around_key(key)); found != run.bytes_around.end()) {
            tally.bytes_around = found->second;
        }
    }
    return routes;
}

std::string count(std::uint64_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string milliseconds(long us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / 1000.0);
    return text;
}

bool any_send(const route_tally &tally)
{
    return !tally.delayed_us.empty() || tally.unreachable != 0 || tally.waited_out != 0 ||
           tally.bytes_around != 0;
}

}  // namespace

std::string around_key(const route_key &route)
{
    return route.to + " " + route.hop + " " + route.protocol;
}

std::string run_report(const run_outcome &run)
{
    std::string text = "kandrel-run: report: " + count(run.processes, "process", "processes") + " seen\n";
    for (const auto &[path, why] : run.unseen) {
        text += "kandrel-run: " + path + " ran without the library (" + why +
                "): its sends were neither traced nor delayed\n";
    }
    auto routes = tallies(run);
    if (std::none_of(routes.begin(), routes.end(), [](const auto &r) { return any_send(r.second); })) {
        return text + "kandrel-run: no send went to a routed destination\n";
    }
    for (const auto &[key, tally] : routes) {
        std::string head = "kandrel-run: route " + route_name(key) + ": ";
        if (!any_send(tally)) {
            text += head + "no send\n";
            continue;
        }
        text += head + count(tally.delayed_us.size(), "send", "sends") + " delayed";
        if (!tally.delayed_us.empty()) {
            auto stats = summarise(tally.delayed_us);
            text +=
                ", round trip median " + milliseconds(stats.median) + ", largest " + milliseconds(stats.max);
        }
        text += "\n";
        if (tally.unreachable != 0) {
            text += head + count(tally.unreachable, "send", "sends") + " not delayed: hop not reached\n";
        }
        if (tally.waited_out != 0) {
            text += head + count(tally.waited_out, "send", "sends") + " not delayed: waited out, no echo\n";
        }
        if (tally.bytes_around != 0) {
            text +=
                head + count(tally.bytes_around, "byte", "bytes") + " not delayed: went around the library\n";
        }
    }
    return text;
}

std::string strict_refusal(const run_outcome &run)
{
    if (!run.unseen.empty()) {
        return "kandrel-run: --strict: a program ran without the library\n";
    }
    auto routes = tallies(run);
    bool delayed = false;
    bool undelayed = false;
    for (const auto &[key, tally] : routes) {
        undelayed = undelayed || tally.unreachable != 0 || tally.waited_out != 0 || tally.bytes_around != 0;
        delayed = delayed || !tally.delayed_us.empty();
    }
    return undelayed || !delayed ? "kandrel-run: --strict: a routed send went undelayed, or none was routed\n"
                                 : "";
}

}  // namespace launcher
