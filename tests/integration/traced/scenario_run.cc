// Running scenario programs under the preloaded library and parsing reports.
#include "scenario_run.hh"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace traced {

std::string library_path()
{
    return KANDREL_LIBRARY;
}

std::string scenario_path(const std::string &name)
{
    return std::string(TRACED_SCENARIO_DIR) + "/traced_" + name;
}

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
        throw std::runtime_error("the scenario reported no " + key + "\n" + describe(run));
    }
    return found->second;
}

long ScenarioReport::result(const std::string &name) const
{
    for (const auto &outcome : outcomes) {
        if (outcome.rfind(name + " ", 0) == 0) {
            return std::stol(outcome.substr(name.size() + 1));
        }
    }
    throw std::runtime_error("the scenario reported no outcome of " + name + "\n" + describe(run));
}

ScenarioReport run_traced(const std::vector<std::string> &argv, const std::string &cwd, Preload preload)
{
    // The route file must not come from whoever runs the tests.
    unsetenv("QUOR_ROUTE_TABLE");
    testsupport::ProgramRun program;
    program.argv = argv;
    program.cwd = cwd;
    if (preload == Preload::library) {
        program.env.emplace_back("LD_PRELOAD", library_path());
    }
    ScenarioReport report;
    report.run = testsupport::run_program(program);

    std::istringstream lines(report.run.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("outcome ", 0) == 0) {
            report.outcomes.push_back(line.substr(8));
        } else if (auto equals = line.find('='); equals != std::string::npos) {
            report.values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return report;
}

ScenarioReport run_scenario(const std::string &name, const std::string &cwd, std::vector<std::string> args,
                            Preload preload)
{
    args.insert(args.begin(), scenario_path(name));
    return run_traced(args, cwd, preload);
}

std::string describe(const testsupport::ProgramResult &run)
{
    std::ostringstream text;
    text << "exit status " << run.exit_status << ", signal " << run.term_signal
         << (run.timed_out ? ", timed out" : "") << "\n--- stdout ---\n"
         << run.out << "--- stderr ---\n"
         << run.err << "--- end ---";
    return text.str();
}

}  // namespace traced
