// Shared by the launcher's tests: where the built programs are, and what the
// probe program reports.
#pragma once

#include <string>
#include <vector>

#include "files.hh"
#include "process.hh"

namespace launchertest {

inline const std::string launcher_path = KANDREL_RUN_PATH;
inline const std::string library_path = KANDREL_LIBRARY_PATH;
inline const std::string companion_path = KANDREL_DEBUG_PATH;
inline const std::string probe_path = PRELOAD_PROBE_PATH;
inline const std::string static_probe_path = STATIC_PROBE_PATH;
inline const std::string marker_path = PRELOAD_MARKER_PATH;
inline const std::string build_dir = KANDREL_BUILD_DIR;
inline const std::string source_dir = KANDREL_SOURCE_DIR;

// The value after "NAME=" on one of the probe's report lines, or "" when absent.
std::string probe_value(const std::string &out, const std::string &name);

// The values of every "NAME=" line of the probe's report, in order.
std::vector<std::string> probe_values(const std::string &out, const std::string &name);

}  // namespace launchertest
