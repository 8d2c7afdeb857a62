// Helpers for the launcher's tests.
#include "launcher_test_support.hh"

#include <sstream>

namespace launchertest {

std::vector<std::string> probe_values(const std::string &out, const std::string &name)
{
    std::vector<std::string> values;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(name + "=")) {
            values.push_back(line.substr(name.size() + 1));
        }
    }
    return values;
}

std::string probe_value(const std::string &out, const std::string &name)
{
    auto values = probe_values(out, name);
    return values.empty() ? "" : values.front();
}

}  // namespace launchertest
