// Fixture shared by the traced-call tests: a scratch working directory per
// test (the route-table load creates "timelog" there), the scenario programs
// run under the library, and what they report on standard output.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "files.hh"
#include "lines.hh"
#include "preloaded_run.hh"

namespace traced {

// What a scenario program reported: "key=value" lines and "outcome NAME
// RESULT ERRNO" lines, in call order.
struct ScenarioReport {
    testsupport::ProgramResult run;
    std::map<std::string, std::string> values;
    std::vector<std::string> outcomes;

    long number(const std::string &key) const;
    // A reported pointer as the trace prints it: "0x" and lower-case hex.
    std::string pointer(const std::string &key) const;
    const std::string &text(const std::string &key) const;
    // The result of the first reported call of that name.
    long result(const std::string &name) const;
    bool has_outcome(const std::string &outcome) const;
};

inline std::string scenario_path(const std::string &name)
{
    return std::string(TRACED_SCENARIO_DIR) + "/traced_" + name;
}

// Runs argv in cwd, with the library preloaded or bare, and reads its report.
ScenarioReport run_traced(const std::vector<std::string> &argv, const std::string &cwd, bool preload = true);

inline ScenarioReport run_scenario(const std::string &name, const std::string &cwd, std::vector<std::string> args = {},
                                   bool preload = true)
{
    args.insert(args.begin(), scenario_path(name));
    return run_traced(args, cwd, preload);
}

}  // namespace traced

class TracedRun : public ::testing::Test {
protected:
    // Runs the scenario under the library in the scratch directory.
    traced::ScenarioReport run(const std::string &scenario, std::vector<std::string> args = {})
    {
        auto report = traced::run_scenario(scenario, dir.path(), std::move(args));
        EXPECT_EQ(report.run.exit_status, 0) << testsupport::describe(report.run);
        return report;
    }

    // The start of the scenarios that open a receiver and a sender datagram
    // socket and bind the receiver.
    static std::string receiver_and_sender(const traced::ScenarioReport &r)
    {
        return lines::route_load(false) + lines::udp_socket(r.number("receiver")) +
               lines::udp_socket(r.number("sender")) + lines::bound_on_loopback(r.number("receiver"), r.text("port"));
    }

    testsupport::ScratchDir dir;
};

using testsupport::occurrences;
