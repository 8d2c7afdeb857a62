// Helpers for the launcher's tests.
#include "launcher_test_support.hh"

#include <sstream>

namespace launchertest {

std::string probe_value(const std::string &out, const std::string &name)
{
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with(name + "=")) {
            return line.substr(name.size() + 1);
        }
    }
    return "";
}

std::vector<std::string> probe_args(const std::string &out)
{
    std::vector<std::string> args;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("arg=")) {
            args.push_back(line.substr(4));
        }
    }
    return args;
}

}  // namespace launchertest
