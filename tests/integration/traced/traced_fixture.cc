// Running the scenario programs and reading their reports.
#include "traced_fixture.hh"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace traced {

long ScenarioReport::number(const std::string &key) const
{
    return std::stol(text(key));
}

std::string ScenarioReport::pointer(const std::string &key) const
{
    return "0x" + text(key);
}

const std::string &ScenarioReport::text(const std::string &key) const
{
    auto found = values.find(key);
    if (found == values.end()) {
        throw std::runtime_error("the scenario reported no " + key + "\n" + testsupport::describe(run));
    }
    return found->second;
}

long ScenarioReport::result(const std::string &name) const
{
    for (const auto &outcome : outcomes) {
        if (outcome.starts_with(name + " ")) {
            return std::stol(outcome.substr(name.size() + 1));
        }
    }
    throw std::runtime_error("the scenario reported no outcome of " + name + "\n" + testsupport::describe(run));
}

bool ScenarioReport::has_outcome(const std::string &outcome) const
{
    return std::find(outcomes.begin(), outcomes.end(), outcome) != outcomes.end();
}

ScenarioReport run_traced(const std::vector<std::string> &argv, const std::string &cwd, bool preload)
{
    ScenarioReport report;
    report.run = testsupport::run_preloaded({.argv = argv, .cwd = cwd, .preload = preload}).program;
    std::istringstream lines(report.run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("outcome ")) {
            report.outcomes.push_back(line.substr(8));
        } else if (auto equals = line.find('='); equals != std::string::npos) {
            report.values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return report;
}

}  // namespace traced
