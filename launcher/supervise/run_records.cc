// Trace lines, timelog records and recording lines of supervised processes.
#include "run_records.hh"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "record_lines.hh"
#include "recording_line.hh"
#include "route_line.hh"
#include "trace_path.hh"

namespace {

// Opened as the library opens them: appending, never through a link, never
// blocking on anything that is not a regular file.
int open_appending(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
}

void write_whole(int descriptor, const std::string &text)
{
    if (descriptor >= 0) {
        [[maybe_unused]] ssize_t written = write(descriptor, text.data(), text.size());
    }
}

std::uint64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

run_records::run_records(record_settings settings) : settings_(std::move(settings))
{
    timelog_ = open_appending("timelog");
    if (!settings_.record_file.empty()) {
        recording_ = open_appending(settings_.record_file);
    }
}

run_records::~run_records()
{
    for (int descriptor : {timelog_, recording_}) {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
}

void run_records::trace(pid_t pid, const std::string &text)
{
    if (settings_.trace_file.empty()) {
        write_whole(STDERR_FILENO, text);
        return;
    }
    char path[4096];
    if (expand_trace_path(settings_.trace_file.c_str(), pid, path, sizeof path)) {
        int descriptor = open_appending(path);
        write_whole(descriptor, text);
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
}

std::string run_records::recorded() const
{
    std::lock_guard held(recorded_lock_);
    return recorded_;
}

void run_records::round_trip(pid_t pid, const supervised_route &route, std::size_t len,
                             const trip_result &trip)
{
    const char *operation = route.protocol == protocol_tcp ? "TCPecho" : "UDPecho";
    {
        recorded_trip line;
        line.t_us = (monotonic_ns() - settings_.run_start_ns) / 1000;
        line.pid = pid;
        strncpy(line.to, route.to_word.c_str(), sizeof line.to - 1);
        strncpy(line.hop, route.hop_word.c_str(), sizeof line.hop - 1);
        strncpy(line.protocol, route.protocol == protocol_tcp ? "TCP" : "UDP", sizeof line.protocol - 1);
        line.bytes = len;
        line.rtt_us = trip.rtt_us;
        line.outcome = !trip.reached     ? trip_outcome::unreachable
                       : trip.waited_out ? trip_outcome::waited_out
                                         : trip_outcome::echoed;
        char text[recording_line_size];
        std::string recording_line(text, format_recording_line(line, text));
        write_whole(recording_, recording_line);
        std::lock_guard held(recorded_lock_);
        recorded_ += recording_line;
    }
    char line[256];
    if (!trip.reached) {
        const char *why = strerrordesc_np(trip.error);
        std::snprintf(line, sizeof line, hop_not_reached_format, operation,
                      why != nullptr ? why : "unknown error");
        trace(pid, line);
        return;
    }
    std::snprintf(line, sizeof line, round_trip_time_format, operation, trip.ms);
    trace(pid, line);
    int length = std::snprintf(line, sizeof line, timelog_record_format, static_cast<ssize_t>(len), trip.ms);
    write_whole(timelog_, std::string(line, static_cast<std::size_t>(length)));
}
