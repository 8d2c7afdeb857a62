// Recording and replay of round trips.
#include "recording.hh"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "append_only_file.hh"
#include "collector.hh"
#include "elapsed_time.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "routing_policy.hh"
#include "settings.hh"
#include "text_lines.hh"
#include "timelog.hh"
#include "trace.hh"

namespace {

append_only_file recording;
bool recording_open = false;
std::uint64_t run_start_ns = 0;
bool replay_loaded = false;

// The most of a recording that is replayed: millions of round trips.
constexpr std::size_t replay_file_limit = std::size_t{1} << 30;

void reset_lock_in_child()
{
    reset_after_fork(recording);
}

// The last stretch of a replayed wait is spent polling the clock: a sleep
// may overshoot by a scheduler tick, far more than a replay may stray.
constexpr std::uint64_t polled_stretch_ns = 300000;

// Waits until the monotonic clock reaches deadline_ns. The sleep's deadline
// is absolute, so an interrupted sleep does not lengthen the wait.
void wait_until(std::uint64_t deadline_ns)
{
    if (deadline_ns > polled_stretch_ns) {
        std::uint64_t sleep_until = deadline_ns - polled_stretch_ns;
        timespec until{static_cast<time_t>(sleep_until / 1000000000u),
                       static_cast<long>(sleep_until % 1000000000u)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
    while (monotonic_ns() < deadline_ns) {
    }
}

const char *protocol_word(int protocol)
{
    return protocol == protocol_tcp ? "TCP" : "UDP";
}

bool same_route(const recorded_trip &trip, const rtbl_ent &route)
{
    return std::strcmp(trip.to, route.covered.to_word) == 0 &&
           std::strcmp(trip.hop, route.covered.hop_word) == 0 &&
           std::strcmp(trip.protocol, protocol_word(route.protocol)) == 0 &&
           trip.outcome != trip_outcome::unreachable;
}

// Calls each(trip) for every well-formed line of the mapped recording.
template <typename Each>
void for_each_trip(const char *text, std::size_t size, Each each)
{
    recorded_trip trip;
    for_each_line({text, size}, [&](std::string_view line) {
        if (parse_recording_line(line.data(), line.size(), trip)) {
            each(trip);
        }
        return true;
    });
}

// A replay that cannot be had is said on the trace: its routed sends would
// otherwise wait nothing, silently.
void replay_refused(const char *path, const char *why)
{
    trace("init_route_tbl()\t:\tcannot replay %s: %s\n", path, why);
}

// Gives each route the recorded times of its round trips, in file order,
// in one mapping of the library's own.
void load_replay(const char *path, rtbl_ent *routes, rtbl_ent *end)
{
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0) {
        replay_refused(path, strerrordesc_np(errno));
        return;
    }
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
        static_cast<std::size_t>(status.st_size) > replay_file_limit) {
        replay_refused(path, "not a regular file of 1 byte to 1 GiB");
        real_calls().close(descriptor);
        return;
    }
    std::size_t size = static_cast<std::size_t>(status.st_size);
    void *mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    real_calls().close(descriptor);
    if (mapped == MAP_FAILED) {
        replay_refused(path, strerrordesc_np(errno));
        return;
    }
    const char *text = static_cast<const char *>(mapped);
    std::size_t total = 0;
    for_each_trip(text, size, [&](const recorded_trip &trip) {
        for (rtbl_ent *route = routes; route != end; ++route) {
            total += same_route(trip, *route) ? 1 : 0;
        }
    });
    void *times = total != 0 ? mmap(nullptr, total * sizeof(std::uint64_t), PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                             : MAP_FAILED;
    if (times != MAP_FAILED) {
        std::uint64_t *next = static_cast<std::uint64_t *>(times);
        for (rtbl_ent *route = routes; route != end; ++route) {
            route->covered.replay_times = next;
            for_each_trip(text, size, [&](const recorded_trip &trip) {
                if (same_route(trip, *route)) {
                    next[route->covered.replay_count++] = trip.rtt_us;
                }
            });
            next += route->covered.replay_count;
        }
    }
    munmap(mapped, size);
}

}  // namespace

void start_recording_and_replay(rtbl_ent *routes, rtbl_ent *end)
{
    if (!routing().records_round_trips) {
        return;
    }
    if (const char *start = setting("KANDREL_RUN_START_NS")) {
        run_start_ns = std::strtoull(start, nullptr, 10);
    }
    if (collector_named()) {
        // Every round trip goes to the collector, which writes the recording
        // when the run records and counts them for the run's report.
        recording_open = true;
    } else if (const char *path = setting("KANDREL_RECORD")) {
        recording_open = open_append_only(recording, path, O_CREAT);
        if (recording_open) {
            pthread_atfork(nullptr, nullptr, reset_lock_in_child);
        }
    }
    if (const char *path = setting("KANDREL_REPLAY")) {
        load_replay(path, routes, end);
        replay_loaded = true;
    }
}

bool replay_asked()
{
    return routing().records_round_trips && setting("KANDREL_REPLAY") != nullptr;
}

bool replaying()
{
    return replay_loaded;
}

std::size_t recording_line_of(const rtbl_ent &route, size_t len, long rtt_us, trip_outcome outcome,
                              char *line)
{
    if (!recording_open) {
        return 0;
    }
    recorded_trip trip;
    std::uint64_t now = monotonic_ns();
    trip.t_us = now > run_start_ns && run_start_ns != 0 ? (now - run_start_ns) / 1000 : 0;
    trip.pid = static_cast<long>(getpid());
    std::strcpy(trip.to, route.covered.to_word);
    std::strcpy(trip.hop, route.covered.hop_word);
    std::strcpy(trip.protocol, protocol_word(route.protocol));
    trip.bytes = len;
    trip.rtt_us = rtt_us > 0 ? static_cast<std::uint64_t>(rtt_us) : 0;
    trip.outcome = outcome;
    return format_recording_line(trip, line);
}

void write_recording_line(const char *line, std::size_t length)
{
    if (length == 0) {
        return;
    }
    if (collector_named()) {
        send_to_collector(collector_kind::recording, line, length);
    } else {
        append_line(recording, line, length);
    }
}

ssize_t replay_round_trip(const rtbl_ent &route, const char *operation, size_t len)
{
    if (route.covered.replay_count == 0) {
        return static_cast<ssize_t>(len);
    }
    std::size_t turn =
        __atomic_fetch_add(const_cast<std::size_t *>(&route.covered.replay_next), 1, __ATOMIC_RELAXED);
    std::uint64_t rtt_us = route.covered.replay_times[turn % route.covered.replay_count];
    wait_until(monotonic_ns() + rtt_us * 1000);
    report_round_trip(operation, len, static_cast<long>(rtt_us / 1000));
    return static_cast<ssize_t>(len);
}
