// Fixture shared by the traced-call tests: a scratch working directory per
// test (the route-table load creates "timelog" there) and scenario runs that
// must end cleanly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files.hh"
#include "scenario_run.hh"
#include "trace_lines.hh"

class TracedRun : public ::testing::Test {
protected:
    // Runs the scenario under the library in the scratch directory.
    traced::ScenarioReport run(const std::string &scenario, std::vector<std::string> args = {})
    {
        auto report = traced::run_scenario(scenario, dir.path(), std::move(args));
        EXPECT_EQ(report.run.exit_status, 0) << traced::describe(report.run);
        return report;
    }

    static bool has_outcome(const traced::ScenarioReport &report, const std::string &outcome)
    {
        return std::find(report.outcomes.begin(), report.outcomes.end(), outcome) != report.outcomes.end();
    }

    testsupport::ScratchDir dir;
};

// Counts the non-overlapping occurrences of a text.
inline size_t occurrences(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}
