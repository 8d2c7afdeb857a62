// Where the supervisor writes what it sees: trace lines (standard error or
// the run's trace file), timelog records, recording lines; each one write,
// appended, as the processes of a run under the library write theirs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "hop_exchange.hh"

struct record_settings {
    std::string trace_file;   // empty: standard error; "%p" becomes the process id
    std::string record_file;  // empty: no recording
    std::uint64_t run_start_ns = 0;
};

class run_records {
public:
    explicit run_records(record_settings settings);
    run_records(const run_records &) = delete;
    run_records &operator=(const run_records &) = delete;
    ~run_records();

    // A trace line (or lines) of process pid.
    void trace(pid_t pid, const std::string &text);

    // A round trip of route for process pid: its TIME line as operation, its
    // timelog record and recording line; or why the hop was not reached.
    // Called from the supervisor's workers at once.
    void round_trip(pid_t pid, const supervised_route &route, std::size_t len, const trip_result &trip);

    // Every round trip's recording line so far, for the run's report.
    std::string recorded() const;

private:
    record_settings settings_;
    mutable std::mutex recorded_lock_;
    std::string recorded_;
    int timelog_ = -1;
    int recording_ = -1;
};
