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

// Replaces the process with the program, its environment prepared; returns
// only when something stopped it, with the status to exit with and why.
launch_failure launch(const launch_options &options);

}  // namespace launcher
