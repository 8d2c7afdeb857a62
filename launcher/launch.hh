// The system side of running a program under the library: finding the
// libraries and the program, checking that preloading will work, exec.
#pragma once

#include <string>

#include "launch_options.hh"

namespace launcher {

struct launch_failure {
    int status = exit_launcher_failure;
    std::string message;
};

// Runs the program, its environment prepared, and waits for it; returns the
// status to exit with, and why when kandrel-run itself refused or failed
// (an empty message when the program ran).
launch_failure launch(const launch_options &options);

}  // namespace launcher
