// Running the test application under the preload library and normalising
// what it wrote.
#include "scenario_run.hh"

#include <map>
#include <regex>

#include "files.hh"

namespace routed {
namespace {

std::string without_entry_addresses(const std::string &trace, std::vector<std::string> &entries)
{
    static const std::regex pointer(R"(rtbl_ptr=([0-9a-f]+))");
    std::string result;
    std::map<std::string, int> labels;
    auto last = trace.cbegin();
    for (std::sregex_iterator it(trace.begin(), trace.end(), pointer), end; it != end; ++it) {
        result.append(last, (*it)[0].first);
        std::string hex = (*it)[1].str();
        if (hex == "0") {
            result += "rtbl_ptr=0";
        } else {
            auto [place, fresh] = labels.emplace(hex, static_cast<int>(labels.size()) + 1);
            if (fresh) {
                entries.push_back(hex);
            }
            result += "rtbl_ptr=<entry " + std::to_string(place->second) + ">";
        }
        last = (*it)[0].second;
    }
    result.append(last, trace.cend());
    return result;
}

// Replaces the numbers that pattern's first group matches with '#'.
std::string without_numbers(const std::string &text, const std::regex &pattern,
                            std::vector<long> &numbers)
{
    std::string result;
    auto last = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
        const auto &number = (*it)[1];
        result.append(last, number.first);
        result += "#";
        numbers.push_back(std::stol(number.str()));
        last = number.second;
    }
    result.append(last, text.cend());
    return result;
}

}  // namespace

std::string without_times(const std::string &trace, std::vector<long> &times)
{
    static const std::regex time_value(R"(TIME=(-?[0-9]+)\. ms)");
    return without_numbers(trace, time_value, times);
}

std::string without_record_ms(const std::string &timelog, std::vector<long> &ms)
{
    static const std::regex record_ms(R"(bytes (-?[0-9]+) ms\n)");
    return without_numbers(timelog, record_ms, ms);
}

ScenarioOutcome run_scenario(const ScenarioSetup &setup)
{
    testsupport::ProgramRun run;
    run.argv = {setup.program};
    run.argv.insert(run.argv.end(), setup.steps.begin(), setup.steps.end());
    run.env = setup.env;
    run.env.emplace_back("LD_PRELOAD", KANDREL_LIBRARY_PATH);
    run.cwd = setup.cwd;
    run.stdin_text = setup.stdin_text;
    run.timeout_ms = setup.timeout_ms;

    ScenarioOutcome outcome;
    outcome.program = testsupport::run_program(run);
    outcome.trace = without_entry_addresses(without_times(outcome.program.err, outcome.times),
                                            outcome.entry_addresses);
    std::string timelog_path = setup.cwd + "/timelog";
    outcome.timelog_exists = testsupport::file_exists(timelog_path);
    outcome.timelog = without_record_ms(testsupport::read_file(timelog_path), outcome.timelog_ms);
    return outcome;
}

}  // namespace routed
