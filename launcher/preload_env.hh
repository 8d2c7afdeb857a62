// The environment a traced program starts with: LD_PRELOAD built on top of
// what the user had, and paths the program can still use after a chdir.
#pragma once

#include <string>
#include <vector>

namespace launcher {

// Our libraries first, so that their definitions win, then whatever the user
// already preloads, kept as it was.
std::string composed_preload(const std::vector<std::string> &ours, const char *existing);

// Whether the dynamic linker can take the path as one LD_PRELOAD entry: it
// must be absolute and free of the list's separators (colon, space, tab).
bool preloadable_path(const std::string &path);

// The path as seen from `cwd` when it is relative, unchanged when absolute.
std::string absolute_path(const std::string &cwd, const std::string &path);

}  // namespace launcher
