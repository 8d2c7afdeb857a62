// What kandrel-run says about a route file before the run: each line the
// library would skip and why, this host's routes, and the hosts the file
// serves when none of its routes is this host's.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "route_line.hh"

namespace launcher {

// A route of this host, with the words the file gives it.
struct host_route {
    std::size_t line = 0;  // 1-based
    std::string to;
    std::string hop;
    std::string protocol;  // "TCP" or "UDP"
};

struct route_file_check {
    std::vector<host_route> routes;       // this host's usable routes, in file order
    std::vector<std::string> skipped;     // "line N skipped: WHY", in file order
    std::vector<std::string> from_names;  // every FROM word of a route line, once each
};

// Reads route-file text line by line with the library's own route-line
// parser. `resolves` says whether a host name or address resolves here; it
// is asked only about this host's lines, which are the only ones the library
// resolves, and only about the words the library needs resolved.
route_file_check check_route_text(std::string_view text, const std::string &host, route_names_needed needed,
                                  const std::function<bool(const std::string &)> &resolves);

// The sentence kandrel-run prints when no route of the file is this host's.
std::string no_route_for_host(const std::string &shown_file, const std::string &host,
                              const std::vector<std::string> &from_names);

}  // namespace launcher
