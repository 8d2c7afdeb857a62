// The environment a traced program starts with: LD_PRELOAD built on top of
// what the user had, the library's behaviour chosen by the options, and
// paths the program can still use after a chdir.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launch_options.hh"

namespace launcher {

// Our libraries first, so that their definitions win, then whatever the user
// already preloads, kept as it was.
std::string composed_preload(const std::vector<std::string> &ours, const char *existing);

// Whether the dynamic linker can take the path as one LD_PRELOAD entry: it
// must be absolute and free of the list's separators (colon, space, tab).
bool preloadable_path(const std::string &path);

// One variable of the program's environment: set to the value, or removed.
struct env_setting {
    std::string name;
    std::optional<std::string> value;
    bool operator==(const env_setting &) const = default;
};

// The library's behaviour variables for a run from `cwd` that starts at
// `run_start_ns` (CLOCK_MONOTONIC): KANDREL_COVERAGE (full, or removed for
// --classic), KANDREL_ECHO_PAYLOAD (1 for --payload, else removed, so that
// only the command line sends the program's data to a hop), KANDREL_RECORD
// with KANDREL_RUN_START_NS and KANDREL_REPLAY (by absolute paths, else
// removed, so that no inherited recording is replayed unchecked) and, with
// -o, KANDREL_TRACE_FILE by its absolute path.
std::vector<env_setting> behaviour_settings(const launch_options &options, const std::string &cwd,
                                            std::uint64_t run_start_ns);

// The path as seen from `cwd` when it is relative, unchanged when absolute.
std::string absolute_path(const std::string &cwd, const std::string &path);

}  // namespace launcher
