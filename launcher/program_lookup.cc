// PATH search candidates for the program to run.
#include "program_lookup.hh"

#include <string_view>

namespace launcher {

std::vector<std::string> program_candidates(const std::string &name, const char *path_env)
{
    if (name.find('/') != std::string::npos) {
        return {name};
    }
    std::string_view path = path_env != nullptr ? path_env : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    while (true) {
        auto colon = path.find(':');
        std::string_view dir = path.substr(0, colon);
        candidates.push_back(dir.empty() ? "./" + name : std::string(dir) + "/" + name);
        if (colon == std::string_view::npos) {
            break;
        }
        path.remove_prefix(colon + 1);
    }
    return candidates;
}

}  // namespace launcher
