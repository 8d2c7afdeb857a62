// Running a program under the system-call filter, supervised until every
// process of the run has ended.
#pragma once

#include <string>
#include <vector>

#include "recording_reader.hh"
#include "run_records.hh"

struct supervised_program {
    std::string name;  // as the user gave it, for messages
    std::string path;
    std::vector<std::string> argv;
    std::string route_file;  // empty: no routes
    record_settings records;
    // For the report at the end.
    std::vector<launcher::route_key> routes;  // this host's routes
    bool quiet = false;
    bool strict = false;
};

// Why the kernel would refuse the filter (a message naming the program), or
// empty: a child tries it and ends, so a refusal leaves nothing behind.
std::string supervision_refusal(const std::string &name);

// The status to exit with: the program's own (a signal that ended it is
// raised again here), 125 with a message in refusal when the kernel refused
// the filter or when --strict refuses the run, 126 or 127 when the program
// could not be started. The run's report is printed when the program ends.
int run_supervised(const supervised_program &program, std::string &refusal);
