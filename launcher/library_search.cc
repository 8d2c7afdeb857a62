// Candidate library directories around the launcher's own location.
#include "library_search.hh"

namespace launcher {

std::vector<std::string> library_dirs(const std::string &launcher_dir, const std::string &installed_libdir)
{
    std::string installed =
        installed_libdir.starts_with('/') ? installed_libdir : launcher_dir + "/" + installed_libdir;
    return {installed, launcher_dir + "/../kandrel", launcher_dir};
}

std::string directory_of(const std::string &path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace launcher
