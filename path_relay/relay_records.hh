// The relay's records: one per piece of the program's traffic whose echo
// came back (or did not), in the run's timelog and, when the run records,
// its recording, as the library writes them for a round trip; through the
// run's collector when there is one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hop_line.hh"
#include "path_relay_protocol.hh"

class relay_records {
public:
    // timelog: the run's timelog path; recording: empty, or the recording's
    // path, with run_start_ns the run's start on the monotonic clock.
    relay_records(const std::string &timelog, const std::string &recording, std::uint64_t run_start_ns);
    ~relay_records();
    relay_records(const relay_records &) = delete;
    relay_records &operator=(const relay_records &) = delete;

    // protocol: "TCP" or "UDP", as the recording names it.
    void add(const path_registration &registration, const char *protocol, std::size_t bytes,
             micros round_trip_us);

private:
    // Under kandrel-run, the run's collector (KANDREL_COLLECTOR) takes every
    // record, counts it for the run's report, and writes the run's files.
    // Once kandrel-run has ended (the relay still delivering what a program
    // that exited left in flight), records go to the files themselves.
    void leave_collector();
    int collector_fd_ = -1;
    std::string timelog_path_;
    std::string recording_path_;
    int timelog_fd_ = -1;
    int recording_fd_ = -1;
    std::uint64_t run_start_ns_ = 0;
};
