// The relay's timelog and recording lines.
#include "relay_records.hh"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector_message.hh"
#include "recording_line.hh"

namespace {

// A connection to the run's collector, or -1 when the run has none.
int connect_collector()
{
    const char *name = std::getenv("KANDREL_COLLECTOR");
    sockaddr_un address;
    socklen_t length = name != nullptr ? collector_address(name, address) : 0;
    int s = length != 0 ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (s >= 0 && connect(s, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        close(s);
        s = -1;
    }
    return s;
}

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
    : collector_fd_(connect_collector()), timelog_path_(timelog), recording_path_(recording),
      run_start_ns_(run_start_ns)
{
    if (collector_fd_ < 0) {
        leave_collector();
    }
}

void relay_records::leave_collector()
{
    if (collector_fd_ >= 0) {
        close(collector_fd_);
        collector_fd_ = -1;
    }
    timelog_fd_ = open_appending(timelog_path_);
    recording_fd_ = open_appending(recording_path_);
}

relay_records::~relay_records()
{
    for (int fd : {collector_fd_, timelog_fd_, recording_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void relay_records::add(const path_registration &registration, const char *protocol, std::size_t bytes,
                        micros round_trip_us)
{
    char record[64];
    int record_length = 0;
    if (round_trip_us >= 0) {
        record_length = std::snprintf(record, sizeof record, "%zu bytes %ld ms\n", bytes,
                                      static_cast<long>(round_trip_us / 1000));
        append(timelog_fd_, record, static_cast<std::size_t>(record_length));
    }
    if (recording_fd_ < 0 && collector_fd_ < 0) {
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
    std::size_t line_length = format_recording_line(trip, line);
    if (collector_fd_ < 0) {
        append(recording_fd_, line, line_length);
        return;
    }
    // One message: the record (when timed), then the recording line.
    char message[collector_header_size + sizeof record + recording_line_size];
    std::memcpy(message + collector_header_size, record, static_cast<std::size_t>(record_length));
    std::memcpy(message + collector_header_size + record_length, line, line_length);
    std::size_t text_length = static_cast<std::size_t>(record_length) + line_length;
    collector_header(record_length > 0 ? collector_kind::timelog : collector_kind::recording,
                     static_cast<std::uint32_t>(text_length), reinterpret_cast<unsigned char *>(message));
    // MSG_NOSIGNAL: a collector gone with kandrel-run must not kill the relay.
    if (send(collector_fd_, message, collector_header_size + text_length, MSG_NOSIGNAL) < 0) {
        leave_collector();
        if (record_length > 0) {
            append(timelog_fd_, record, static_cast<std::size_t>(record_length));
        }
        append(recording_fd_, line, line_length);
    }
}
