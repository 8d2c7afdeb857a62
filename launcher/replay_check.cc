// Reads the recording and the route file as regular files of bounded size
// and checks that every route of this host has round trips to replay.
#include "replay_check.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "recording_reader.hh"
#include "replay_routes.hh"
#include "route_line.hh"
#include "run_checks.hh"

namespace launcher {
namespace {

// Up to `limit` + 1 bytes of a regular file, so that a caller can tell a
// file beyond the limit. Never blocks on a fifo. Returns "" or why not.
std::string read_regular_file(const std::string &path, std::size_t limit, std::string &text)
{
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return std::strerror(errno);
    }
    struct stat status;
    std::string error;
    if (fstat(descriptor, &status) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        error = "not a regular file";
    }
    text.clear();
    char chunk[1 << 16];
    while (error.empty() && text.size() <= limit) {
        ssize_t n = read(descriptor, chunk, std::min(sizeof chunk, limit + 1 - text.size()));
        if (n < 0 && errno != EINTR) {
            error = std::strerror(errno);
        }
        if (n == 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    close(descriptor);
    return error;
}

}  // namespace

std::string replay_refusal(const std::string &recording_file, const std::string &route_file)
{
    const std::string refused = "cannot replay " + recording_file + ": ";
    std::string text;
    if (auto error = read_regular_file(recording_file, largest_recording, text); !error.empty()) {
        return refused + error;
    }
    if (text.size() > largest_recording) {
        return refused + "larger than " + std::to_string(largest_recording >> 20) + " MiB";
    }
    recording recorded = read_recording(text);
    if (recorded.error_line != 0) {
        return refused + "line " + std::to_string(recorded.error_line) + ": " + recorded.error;
    }
    std::string routes;
    // A route file the library cannot read gives it no routes to replay.
    if (!route_file.empty() && read_regular_file(route_file, full_route_file_read_limit, routes).empty()) {
        routes.resize(std::min(routes.size(), full_route_file_read_limit));
        auto ours = routes_of_host(routes, this_host_name());
        if (const route_key *missing = route_without_round_trips(ours, recorded.records)) {
            return refused + "no recorded round trips for route " + route_name(*missing);
        }
    }
    return "";
}

}  // namespace launcher
