// Where the launcher looks for libkandrel.so and its debug companion,
// relative to its own directory, so that a build tree and an installed
// prefix both work without configuration.
#pragma once

#include <string>
#include <vector>

namespace launcher {

constexpr const char *library_name = "libkandrel.so";
constexpr const char *debug_companion_name = "libkandrel-debug.so";

// Directories to search, in order: the installed library directory (given
// relative to the installed bin directory, or absolute), then the build
// tree's kandrel/ beside launcher/, then the launcher's own directory.
std::vector<std::string> library_dirs(const std::string &launcher_dir, const std::string &installed_libdir);

// The directory part of a path, without the final slash ("/" stays "/").
std::string directory_of(const std::string &path);

}  // namespace launcher
