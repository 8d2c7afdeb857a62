// Runs a program with the library preloaded, the way users run it, and takes
// what it left apart: exit, standard output, the trace with its varying
// numbers masked, and the timelog records.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "process.hh"

namespace testsupport {

struct PreloadedRun {
    std::vector<std::string> argv;
    std::string cwd;  // where the library creates "timelog"; must be given
    std::vector<std::pair<std::string, std::string>> env;  // QUOR_ROUTE_TABLE, if any
    std::string stdin_text;
    int timeout_ms = 20000;
    bool preload = true;  // false: the same program bare, to compare with
};

// One timelog record, "BYTES bytes MS ms".
struct TimelogRecord {
    long bytes = 0;
    long ms = 0;
    bool operator==(const TimelogRecord &) const = default;
};

struct PreloadedResult {
    ProgramResult program;  // how it ended, standard output, raw standard error
    // Standard error with every "TIME=%d. ms" value shown as "TIME=#. ms" and
    // every non-zero "rtbl_ptr=%x" shown as "rtbl_ptr=<entry N>", N counting
    // the distinct entries in order of first appearance.
    std::string trace;
    std::vector<long> times;                   // the TIME values, in order
    std::vector<std::string> entry_addresses;  // the hexadecimal texts behind <entry N>
    bool timelog_exists = false;
    std::vector<long> timelog_bytes;  // each record's byte count, in order
    std::vector<long> timelog_ms;     // and its milliseconds
};

// Runs the program with LD_PRELOAD naming the library (and nothing else)
// and QUOR_ROUTE_TABLE only as env sets it.
PreloadedResult run_preloaded(const PreloadedRun &run);

// Shows every "TIME=N. ms" value as "#" and appends the values to times.
std::string mask_times(const std::string &text, std::vector<long> &times);

// Reads timelog text with the summary tool's own parser; a line that is no
// record is an error.
std::vector<TimelogRecord> timelog_records(const std::string &text);

// Counts the non-overlapping occurrences of part in what a run wrote.
std::size_t occurrences(const std::string &text, const std::string &part);

// How a run ended and what it wrote, for failure messages.
std::string describe(const ProgramResult &run);

}  // namespace testsupport
