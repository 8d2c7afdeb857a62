// Where a program named on the command line may be, PATH searched as the
// shell searches it.
#pragma once

#include <string>
#include <vector>

namespace launcher {

// The paths to try, in order: the name itself when it holds a slash,
// otherwise the name in each PATH directory (an empty entry means the
// current directory). An unset PATH means "/bin:/usr/bin".
std::vector<std::string> program_candidates(const std::string &name, const char *path_env);

}  // namespace launcher
