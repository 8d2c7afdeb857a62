// Runs the test application under the preload library and takes its output
// apart: the trace with its varying numbers replaced, the measured times, the
// timelog records.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "process.hh"

namespace routed {

struct ScenarioOutcome {
    testsupport::ProgramResult program;
    // Standard error with every "TIME=%d. ms" value shown as "TIME=#. ms" and
    // every non-zero "rtbl_ptr=%x" shown as "rtbl_ptr=<entry N>", N counting
    // the distinct entries in order of first appearance.
    std::string trace;
    std::vector<long> times;  // the TIME values, in order
    std::vector<std::string> entry_addresses;  // the hexadecimal texts behind <entry N>
    bool timelog_exists = false;
    // "timelog" with each record's milliseconds shown as "#".
    std::string timelog;
    std::vector<long> timelog_ms;
};

struct ScenarioSetup {
    std::string program = ROUTE_SCENARIO_PATH;  // the application to preload into
    std::string cwd;                            // where "timelog" is created
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> steps;  // its arguments
    std::string stdin_text;
    int timeout_ms = 20000;
};

// Runs the application with LD_PRELOAD set to the library.
ScenarioOutcome run_scenario(const ScenarioSetup &setup);

// Texts of the varying parts, exposed for the tests of the helpers
// themselves and for tests that read other files.
std::string without_times(const std::string &trace, std::vector<long> &times);
std::string without_record_ms(const std::string &timelog, std::vector<long> &ms);

}  // namespace routed
