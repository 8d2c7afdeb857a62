// Running a program under the system-call filter, supervised until every
// process of the run has ended.
#pragma once

#include <string>
#include <vector>

#include "run_records.hh"

struct supervised_program {
    std::string name;  // as the user gave it, for messages
    std::string path;
    std::vector<std::string> argv;
    std::string route_file;  // empty: no routes
    record_settings records;
};

// Why the kernel would refuse the filter (a message naming the program), or
// empty: a child tries it and ends, so a refusal leaves nothing behind.
std::string supervision_refusal(const std::string &name);

// The status to exit with: the program's own (a signal that ended it is
// raised again here), 125 with a message in refusal when the kernel refused
// the filter, 126 or 127 when the program could not be started.
int run_supervised(const supervised_program &program, std::string &refusal);
