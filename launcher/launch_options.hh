// The launcher's command line: what to run and how, or which file to summarise.
#pragma once

#include <string>
#include <vector>

namespace launcher {

// The launcher's own exit statuses; a program it runs exits with its own.
constexpr int exit_launcher_failure = 125;  // bad usage, missing library, refused program
constexpr int exit_cannot_execute = 126;    // found, but the system would not run it
constexpr int exit_not_found = 127;         // no such program

enum class launch_mode { run, summary, help, version };

struct launch_options {
    launch_mode mode = launch_mode::run;
    std::string route_file;    // empty: QUOR_ROUTE_TABLE stays as inherited
    bool debug = false;        // also preload the companion that sets debug
    bool classic = false;      // the classic routing
    bool per_send = false;     // full coverage: each send waits for its round trip
    bool path = false;         // the path model: the default, unless the options need full coverage
    std::string trace_file;    // empty: KANDREL_TRACE_FILE stays as inherited
    bool payload = false;      // full coverage bounces the program's own bytes
    bool supervise = false;    // supervise the program's system calls, preloading nothing
    std::string record_file;   // full coverage records every round trip here
    std::string replay_file;   // full coverage replays the round trips recorded here
    std::string summary_file;  // for launch_mode::summary
    std::string plot_file;     // with --summary: draw the recording here as SVG
    // The checks before the run and the report after it.
    bool quiet = false;                // -q: no hop lines, no report
    bool no_check = false;             // --no-check: no echo check of the hops before the run
    bool strict = false;               // --strict: an undelayed routed send ends with 125
    std::string timelog_file;          // --timelog: the run's timelog instead of ./timelog
    std::vector<std::string> program;  // the program and its arguments, untouched
};

// Reads the launcher's arguments (without argv[0]). Options stop at "--" or at
// the first word that is not an option, so the program's own options pass
// through. Fills `error` and returns false on a usage mistake.
bool parse_launch_options(const std::vector<std::string> &args, launch_options &options, std::string &error);

// The --help text.
const char *usage_text();

}  // namespace launcher
