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
#include "coverage.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "timelog.hh"

namespace {

append_only_file recording;
bool recording_open = false;
std::uint64_t run_start_ns = 0;
bool replay_loaded = false;

// The most of a recording that is replayed: millions of round trips.
constexpr std::size_t replay_file_limit = std::size_t{1} << 30;

std::uint64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

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
    return std::strcmp(trip.to, route.to_word) == 0 && std::strcmp(trip.hop, route.hop_word) == 0 &&
           std::strcmp(trip.protocol, protocol_word(route.protocol)) == 0 &&
           trip.outcome != trip_outcome::unreachable;
}

// Calls each(trip) for every well-formed line of the mapped recording.
template <typename Each>
void for_each_trip(const char *text, std::size_t size, Each each)
{
    recorded_trip trip;
    for (const char *line = text, *end = text + size; line < end;) {
        const char *newline =
            static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        const char *line_end = newline != nullptr ? newline : end;
        if (parse_recording_line(line, static_cast<std::size_t>(line_end - line), trip)) {
            each(trip);
        }
        line = line_end + 1;
    }
}

// Gives each route the recorded times of its round trips, in file order,
// in one mapping of the library's own.
void load_replay(const char *path, rtbl_ent *routes, rtbl_ent *end)
{
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0) {
        return;
    }
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
        static_cast<std::size_t>(status.st_size) > replay_file_limit) {
        real_calls().close(descriptor);
        return;
    }
    std::size_t size = static_cast<std::size_t>(status.st_size);
    void *mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
    real_calls().close(descriptor);
    if (mapped == MAP_FAILED) {
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
            route->replay_times = next;
            for_each_trip(text, size, [&](const recorded_trip &trip) {
                if (same_route(trip, *route)) {
                    next[route->replay_count++] = trip.rtt_us;
                }
            });
            next += route->replay_count;
        }
    }
    munmap(mapped, size);
}

}  // namespace

void start_recording_and_replay(rtbl_ent *routes, rtbl_ent *end)
{
    if (!full_coverage()) {
        return;
    }
    if (const char *start = std::getenv("KANDREL_RUN_START_NS")) {
        run_start_ns = std::strtoull(start, nullptr, 10);
    }
    if (const char *path = std::getenv("KANDREL_RECORD")) {
        recording_open = open_append_only(recording, path, O_CREAT);
        if (recording_open) {
            pthread_atfork(nullptr, nullptr, reset_lock_in_child);
        }
    }
    if (const char *path = std::getenv("KANDREL_REPLAY")) {
        load_replay(path, routes, end);
        replay_loaded = true;
    }
}

bool replay_asked()
{
    return full_coverage() && std::getenv("KANDREL_REPLAY") != nullptr;
}

bool replaying()
{
    return replay_loaded;
}

void record_round_trip(const rtbl_ent &route, size_t len, long rtt_us, trip_outcome outcome)
{
    if (!recording_open) {
        return;
    }
    recorded_trip trip;
    std::uint64_t now = monotonic_ns();
    trip.t_us = now > run_start_ns && run_start_ns != 0 ? (now - run_start_ns) / 1000 : 0;
    trip.pid = static_cast<long>(getpid());
    std::strcpy(trip.to, route.to_word);
    std::strcpy(trip.hop, route.hop_word);
    std::strcpy(trip.protocol, protocol_word(route.protocol));
    trip.bytes = len;
    trip.rtt_us = rtt_us > 0 ? static_cast<std::uint64_t>(rtt_us) : 0;
    trip.outcome = outcome;
    // On the stack: a round trip may run in a signal handler.
    char line[recording_line_size];
    append_line(recording, line, format_recording_line(trip, line));
}

ssize_t replay_round_trip(const rtbl_ent &route, const char *operation, size_t len)
{
    if (route.replay_count == 0) {
        return static_cast<ssize_t>(len);
    }
    std::size_t turn = __atomic_fetch_add(const_cast<std::size_t *>(&route.replay_next), 1, __ATOMIC_RELAXED);
    std::uint64_t rtt_us = route.replay_times[turn % route.replay_count];
    wait_until(monotonic_ns() + rtt_us * 1000);
    report_round_trip(operation, len, static_cast<long>(rtt_us / 1000));
    return static_cast<ssize_t>(len);
}
