// LD_PRELOAD composition, the library's behaviour variables and path helpers
// for the traced program's environment.
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

std::vector<env_setting> behaviour_settings(const launch_options &options, const std::string &cwd,
                                            std::uint64_t run_start_ns)
{
    using text = std::optional<std::string>;
    bool record = !options.record_file.empty();
    std::vector<env_setting> settings{
        {"KANDREL_COVERAGE", options.classic ? std::nullopt : text(options.path ? "path" : "full")},
        {"KANDREL_ECHO_PAYLOAD", options.payload ? text("1") : std::nullopt},
        {"KANDREL_RECORD", record ? text(absolute_path(cwd, options.record_file)) : std::nullopt},
        {"KANDREL_RUN_START_NS", record ? text(std::to_string(run_start_ns)) : std::nullopt},
        {"KANDREL_REPLAY",
         options.replay_file.empty() ? std::nullopt : text(absolute_path(cwd, options.replay_file))},
    };
    if (!options.trace_file.empty()) {
        settings.push_back({"KANDREL_TRACE_FILE", absolute_path(cwd, options.trace_file)});
    }
    return settings;
}

std::string absolute_path(const std::string &cwd, const std::string &path)
{
    if (path.starts_with('/')) {
        return path;
    }
    return cwd.ends_with('/') ? cwd + path : cwd + "/" + path;
}

}  // namespace launcher
