// kandrel-run's part while the program runs: it waits for it, passes on the
// signals meant for it, collects the records of every process of the run,
// and reports when it ends.
#pragma once

#include <sys/types.h>

#include <vector>

#include "recording_reader.hh"
#include "run_collector.hh"
#include "run_report.hh"

namespace launcher {

struct supervised_run {
    run_collector *collector = nullptr;  // null with --classic: no collector, no report
    collector_outputs outputs;
    std::vector<route_key> routes;  // this host's routes
    bool quiet = false;
    bool strict = false;
};

// Prints the report of outcome, unless quiet, and with strict the line of
// what --strict refuses; true when it refuses the run.
bool report_run(const run_outcome &outcome, bool quiet, bool strict);

// Waits for child, collecting; then reports. Returns the launcher's exit
// status: the program's own, or 125 when --strict finds a send undelayed.
// A program killed by a signal makes kandrel-run end by the same signal.
int supervise(pid_t child, const supervised_run &run);

}  // namespace launcher
