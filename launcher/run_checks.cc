// Route-file and hop checks before the run, said on standard error.
#include "run_checks.hh"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "hop_probe.hh"
#include "preload_env.hh"
#include "route_check.hh"
#include "route_line.hh"
#include "route_source.hh"

namespace launcher {
namespace {

// One echo per distinct hop and protocol of this host's routes.
bool probe_hops(const launch_options &options, checked_routes &checked, launch_failure &failure)
{
    std::vector<route_key> probed;
    for (const auto &route : checked.routes) {
        route_key hop{"", route.hop, route.protocol};
        if (std::find(probed.begin(), probed.end(), hop) != probed.end()) {
            continue;
        }
        probed.push_back(hop);
        hop_echo echo = probe_hop(route.hop, route.protocol);
        std::string shown = "hop " + route.hop + (echo.address.empty() ? "" : " (" + echo.address + ")");
        if (echo.reached) {
            char ms[32];
            std::snprintf(ms, sizeof ms, "%.1f ms", echo.ms);
            if (!options.quiet) {
                checked.notes.push_back(shown + " " + route.protocol + " echo " + ms);
            }
            continue;
        }
        failure.message = shown + " not reached by a " + route.protocol + " echo: " + echo.failure +
                          "; its sends would not be delayed (--no-check runs anyway)";
        return false;
    }
    return true;
}

}  // namespace

bool host_named_by_setting()
{
    const char *given = std::getenv("KANDREL_HOST");
    return given != nullptr && *given != '\0';
}

std::string this_host_name()
{
    // KANDREL_HOST names the host as the library reads it with full coverage.
    if (host_named_by_setting()) {
        return std::getenv("KANDREL_HOST");
    }
    char name[HOST_NAME_MAX + 1] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

bool check_routes(const launch_options &options, const std::string &cwd, checked_routes &checked,
                  launch_failure &failure)
{
    const char *inherited = std::getenv("QUOR_ROUTE_TABLE");
    std::string shown = !options.route_file.empty() ? options.route_file
                        : inherited != nullptr      ? inherited
                                                    : "";
    auto say = [&](const std::string &note) { checked.notes.push_back(note); };
    if (shown.empty()) {
        say("no route file given (-r ROUTE_FILE): no send will be delayed");
        return true;
    }
    std::string path = absolute_path(cwd, shown);
    route_source source = read_route_source(path);
    if (!source.error.empty() && options.route_file.empty()) {
        // An inherited table is left as it is, but not in silence.
        say("QUOR_ROUTE_TABLE names " + shown + ", which cannot be read (" + source.error +
            "): no send will be delayed");
        return true;
    }
    if (!source.error.empty()) {
        failure.message = "cannot read route file " + shown + ": " + source.error;
        return false;
    }
    if (source.cut) {
        say(shown + ": only its first " + std::to_string(full_route_file_read_limit >> 20) + " MiB are read");
    }
    checked.table_path = path;
    if (source.pipe) {
        std::string error;
        checked.private_copy = private_route_copy(source.text, error);
        if (checked.private_copy.empty()) {
            failure.message = "cannot keep a copy of route file " + shown + ": " + error;
            return false;
        }
        checked.table_path = checked.private_copy;
    }
    std::string host = this_host_name();
    // As the library reads the file: this host's own name resolves unless
    // KANDREL_HOST gives it; a replayed run never reaches its hops.
    route_names_needed needed{!host_named_by_setting(), options.replay_file.empty()};
    route_file_check check = check_route_text(source.text, host, needed, host_resolves);
    for (const auto &line : check.skipped) {
        say(shown + ": " + line);
    }
    for (const auto &route : check.routes) {
        checked.routes.push_back({route.to, route.hop, route.protocol});
    }
    if (checked.routes.empty()) {
        say(no_route_for_host(shown, host, check.from_names));
        return true;
    }
    return !options.replay_file.empty() || options.no_check || probe_hops(options, checked, failure);
}

}  // namespace launcher
