// The checks kandrel-run makes of the routes before the run: the route file
// read once (a pipe included) and each skipped line said, this host's routes
// found, and each of their hops sent one echo.
#pragma once

#include <string>
#include <vector>

#include "launch.hh"
#include "recording_reader.hh"

namespace launcher {

struct checked_routes {
    std::vector<route_key> routes;   // this host's routes
    std::string table_path;          // for QUOR_ROUTE_TABLE; "" leaves it as inherited
    std::string private_copy;        // a copy of a piped route file, removed after the run
    std::vector<std::string> notes;  // what to say once nothing refuses the run
};

// This host's name as hostname prints it (or KANDREL_HOST when set), which
// route lines start with.
std::string this_host_name();
// Whether KANDREL_HOST names this host: the library then does not resolve
// the name, which need not be a resolvable one.
bool host_named_by_setting();

// Notes what the library would skip or miss, and each hop's echo; refuses (false,
// with failure) a route file that cannot be read and a hop that does not
// echo. With --no-check or --replay no hop is sent anything.
bool check_routes(const launch_options &options, const std::string &cwd, checked_routes &checked,
                  launch_failure &failure);

}  // namespace launcher
