// LD_PRELOAD composition and path helpers for the traced program's environment.
#include "preload_env.hh"

namespace launcher {

std::string composed_preload(const std::vector<std::string> &ours, const char *existing)
{
    std::string list;
    for (const auto &path : ours) {
        if (!list.empty()) {
            list += ':';
        }
        list += path;
    }
    if (existing != nullptr && *existing != '\0') {
        list += ':';
        list += existing;
    }
    return list;
}

bool preloadable_path(const std::string &path)
{
    return path.starts_with('/') && path.find_first_of(": \t\n") == std::string::npos;
}

std::string absolute_path(const std::string &cwd, const std::string &path)
{
    if (path.starts_with('/')) {
        return path;
    }
    return cwd.ends_with('/') ? cwd + path : cwd + "/" + path;
}

}  // namespace launcher
