// The relay's timelog and recording lines.
#include "relay_records.hh"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "recording_line.hh"

namespace {

int open_appending(const std::string &path)
{
    return path.empty() ? -1
                        : open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
}

std::uint64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// One whole record per write, so processes appending together never mix.
void append(int fd, const char *text, std::size_t length)
{
    if (fd >= 0 && write(fd, text, length) < 0) {
        return;  // a full disk loses the record, never the traffic
    }
}

}  // namespace

relay_records::relay_records(const std::string &timelog, const std::string &recording,
                             std::uint64_t run_start_ns)
    : timelog_fd_(open_appending(timelog)), recording_fd_(open_appending(recording)),
      run_start_ns_(run_start_ns)
{
}

relay_records::~relay_records()
{
    for (int fd : {timelog_fd_, recording_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void relay_records::add(const path_registration &registration, const char *protocol, std::size_t bytes,
                        micros round_trip_us)
{
    if (round_trip_us >= 0) {
        char record[64];
        int length = std::snprintf(record, sizeof record, "%zu bytes %ld ms\n", bytes,
                                   static_cast<long>(round_trip_us / 1000));
        append(timelog_fd_, record, static_cast<std::size_t>(length));
    }
    if (recording_fd_ < 0) {
        return;
    }
    recorded_trip trip;
    std::uint64_t now = monotonic_ns();
    trip.t_us = now > run_start_ns_ && run_start_ns_ != 0 ? (now - run_start_ns_) / 1000 : 0;
    trip.pid = static_cast<long>(registration.pid);
    std::snprintf(trip.to, sizeof trip.to, "%s", registration.to_word);
    std::snprintf(trip.hop, sizeof trip.hop, "%s", registration.hop_word);
    std::snprintf(trip.protocol, sizeof trip.protocol, "%s", protocol);
    trip.bytes = bytes;
    trip.rtt_us = round_trip_us > 0 ? static_cast<std::uint64_t>(round_trip_us) : 0;
    trip.outcome = round_trip_us >= 0 ? trip_outcome::echoed : trip_outcome::waited_out;
    char line[recording_line_size];
    append(recording_fd_, line, format_recording_line(trip, line));
}
